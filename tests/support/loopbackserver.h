#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>

#include <cstdint>
#include <functional>

class QTcpServer;
class QTcpSocket;
class SocketControl;

// A TCP server on 127.0.0.1 standing in for the unit's socket. It accepts any number of
// connections and records, per connection and in total, every byte it receives.
class LoopbackServer : public QObject {
    Q_OBJECT
public:
    // Listens on 127.0.0.1:`port` (0: any free port).
    explicit LoopbackServer(std::uint16_t port = 0, QObject* parent = nullptr);
    ~LoopbackServer() override;

    bool isListening() const;
    std::uint16_t port() const;

    // Connections accepted so far, including closed ones.
    int connectionCount() const { return int(connections_.size()); }
    // Connections whose client side is still open.
    int openConnectionCount() const;

    // Waits until a connection arrives that no earlier call returned for (true), or `ms`
    // milliseconds pass (false), processing Qt events meanwhile.
    bool waitForConnection(int ms);
    // Waits until `n` bytes in total have been received over all connections.
    bool waitForBytes(qsizetype n, int ms);
    // Waits until the latest connection has been closed by the client.
    bool waitForClientClosed(int ms);

    // What the latest connection (or connection `index`) has received.
    QByteArray received() const;
    QByteArray received(int index) const;
    QByteArray receivedTotal() const { return total_; }

    // Sends a marker through `sender` (the program's socket on the latest connection) and
    // waits, processing Qt events, until it arrives; returns everything that connection
    // received before it: all the program had sent by then, since a send that merely
    // comes late would be queued behind the marker. The marker is taken out of the
    // records again. "<no marker> " and what came when it does not arrive within `ms`.
    QByteArray receivedBeforeMarker(SocketControl& sender, int ms = 5000);

    // Sends to the latest connection.
    bool send(const QByteArray& bytes);
    // Waits, without processing Qt events, until the client's system has taken all that
    // was sent on the latest connection (nothing waits unacknowledged in our send queue):
    // the bytes are there for the client, which has not necessarily read them.
    bool waitUntilTaken(int ms) const;
    // Closes the latest connection from the server side, after sending what is buffered.
    void closeClient();
    // Stops listening: later connects are refused.
    void stopListening();

private:
    struct Connection {
        QPointer<QTcpSocket> socket;
        QByteArray received;
        bool clientClosed = false;
    };

    void accept();
    bool waitUntil(int ms, const std::function<bool()>& done);

    QTcpServer* server_ = nullptr;
    QList<Connection> connections_;
    QByteArray total_;
    int claimed_ = 0;
};
