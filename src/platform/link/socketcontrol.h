#pragma once

#include "platform/link/arrivalreannounce.h"
#include "platform/link/eventkeepalive.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>

// The socket control: a TCP client with a remote host and port, connect, send, receive,
// close and one data-arrival event.
//
// States: Closed (new, or after Close), Connecting (Connect called, not yet completed),
// Connected, Closing (the peer closed the connection; data it sent before may still be
// waiting) and Error (the connect failed, or the connection broke). Connect is accepted
// only in Closed; SendData only in Connected; Close always, and leaves Closed.
//
// Every failure is thrown as a RuntimeError whose source is the control's objectName().
class SocketControl : public QObject {
    Q_OBJECT
public:
    enum class State { Closed, Connecting, Connected, Closing, Error };

    explicit SocketControl(QObject* parent = nullptr) : QObject(parent) {}

    // Protocol is always TCP.
    QString Protocol() const { return QStringLiteral("TCP"); }

    QString RemoteHost() const { return remoteHost_; }
    void setRemoteHost(const QString& host) { remoteHost_ = host; }
    // The unit's port. Program code never changes it; tests may.
    std::uint16_t RemotePort() const { return remotePort_; }
    void setRemotePort(std::uint16_t port) { remotePort_ = port; }
    // 0: any free local port.
    std::uint16_t LocalPort() const { return 0; }

    virtual State state() const = 0;

    // Starts a connection to RemoteHost:RemotePort and returns at once. RemoteHost must
    // be a dotted IPv4 literal (four decimal numbers 0-255, leading zeros read as
    // decimal); no name is ever looked up. Throws WrongSocketState unless Closed,
    // AddressNotLiteral for anything else, and AddressNotLoopback for an address
    // outside 127.0.0.0/8 while the environment holds QUORLANE_LOOPBACK_ONLY=1.
    virtual void Connect() = 0;
    // Sends the string's characters as bytes (Latin-1, '?' for a character without a
    // byte), nothing added; an empty string sends nothing. Throws WrongSocketState
    // unless Connected, SocketSend when the bytes cannot be handed to the system.
    virtual void SendData(const QString& data) = 0;
    // Moves everything waiting into `data` as the bytes that came: the text, one character
    // per byte (Latin-1), kept as bytes so that it reaches the log and the receive box
    // without being widened.
    virtual void GetData(QByteArray& data) = 0;
    virtual void Close() = 0;
    // Raises DataArrival now for data that has arrived and not been announced yet (queued
    // behind a handler, or still waiting in the system). Before the socket is closed for
    // good, so that what the peer sent reaches the handler. Does nothing by default: a
    // control that announces every arrival at once has nothing waiting.
    virtual void deliverPending() {}

    // Parses a dotted IPv4 literal as Connect accepts it; false when it is not one.
    static bool parseIPv4(const QString& text, std::uint32_t& address);
    // The checks Connect makes on RemoteHost, shared by every socket control.
    std::uint32_t checkedRemoteAddress() const;

signals:
    // Data has arrived; bytesTotal is the number of bytes waiting.
    void DataArrival(std::int32_t bytesTotal);

protected:
    [[noreturn]] void fail(std::int32_t number, const QString& description) const;

private:
    QString remoteHost_;
    std::uint16_t remotePort_ = 23;
};

class QTcpSocket;

// The socket control over a real TCP socket.
class TcpSocketControl : public SocketControl {
    Q_OBJECT
public:
    explicit TcpSocketControl(QObject* parent = nullptr);
    ~TcpSocketControl() override;

    State state() const override { return state_; }
    void Connect() override;
    void SendData(const QString& data) override;
    void GetData(QByteArray& data) override;
    void Close() override;
    void deliverPending() override;

private:
    // Replaces the socket with a fresh one for a new connection.
    void resetSocket();
    // Aborts the current socket and lets it go. A DataArrival handler may call Close() or
    // Connect() while the socket is on the stack below it: such a socket is kept until
    // the event has been handled (keepAlive_).
    void dropSocket();
    void onReadyRead(QTcpSocket* socket);
    void onDisconnected(QTcpSocket* socket);
    void onSocketError(QTcpSocket* socket, int error);

    QTcpSocket* socket_ = nullptr;
    State state_ = State::Closed;
    EventKeepAlive keepAlive_{this}; // sockets dropped during a DataArrival emission
    ArrivalReannounce arrivals_;     // DataArrival for what came during a handler
};
