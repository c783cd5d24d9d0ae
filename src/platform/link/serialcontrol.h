#pragma once

#include "platform/base/portlock.h"
#include "platform/link/arrivalreannounce.h"
#include "platform/link/eventkeepalive.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>

class QSerialPort;
class QSocketNotifier;

// The serial-port control: a port number, a settings string, the modem lines, receive
// and send thresholds, open and close, output, input and one communication event.
//
// Port N is the device that paths::comDevicePath(N) names. Every failure is thrown as a
// RuntimeError whose source is the control's objectName().
//
// Events (OnComm, raised on the thread that owns the control, between other events):
// - CommEvent() == EvReceive: characters have arrived (only while RThreshold >= 1; one
//   event per arrival, however many characters it brought). Like a UART's receive
//   timeout, arrivals that follow each other closely share one event: the first after
//   a quiet spell is raised at once, later ones at most every ReceiveGapMs, or every
//   SlowReceiveGapMs after an event that brought little (a slow stream, such as text at
//   the serial line rate), so a steady stream costs a bounded number of events a second
//   while a fast one is not gathered into big events. A held-back event is raised by the
//   first arrival after the gap, in the wake-up that arrival costs anyway, or, when
//   nothing more comes (the last piece of a burst), ReceiveGapMs later by a timer.
//   Arrivals are always read from the device at once, whether or not their event is held
//   back: a device that hangs up discards what it still holds.
// - CommEvent() == EvSend: the transmit buffer has emptied (only while SThreshold >= 1).
// - CommEvent() == EvDeviceLost: the device went away while the port was open (the
//   adapter was unplugged, the other side of a pseudo-terminal closed, the link target
//   removed). The control has already closed the port; the event is raised once.
//   Characters that arrived before the loss and had no receive event yet get one first,
//   in which the port still counts as open so that they can be read.
class SerialControl : public QObject {
    Q_OBJECT
public:
    static constexpr std::int16_t EvSend = 1;
    static constexpr std::int16_t EvReceive = 2;
    static constexpr std::int16_t EvDeviceLost = 1100;
    static constexpr int ReceiveGapMs = 25;
    static constexpr int SlowReceiveGapMs = 150; // an unattended view repaints every 125 ms
    static constexpr qint64 SlowBelowBytes = 1024; // what a slow stream's event brings

    explicit SerialControl(QObject* parent = nullptr);
    ~SerialControl() override;

    // 1-based port number; may be changed only while the port is closed (else throws
    // PortAlreadyOpen). Values outside 1..255 throw InvalidPortNumber.
    std::int16_t CommPort() const { return commPort_; }
    void setCommPort(std::int16_t port);

    // "baud,parity,data,stop", e.g. "19200,N,8,1". Parity one of N, E, O, M, S (either
    // case); data bits 5 to 8; stop bits 1, 1.5 or 2. Anything else throws
    // InvalidPropertyValue and keeps the old value. While open, applied at once.
    QString Settings() const { return settings_; }
    void setSettings(const QString& settings);

    bool DTREnable() const { return dtr_; }
    void setDTREnable(bool on);
    bool RTSEnable() const { return rts_; }
    void setRTSEnable(bool on);

    std::int16_t RThreshold() const { return rThreshold_; }
    void setRThreshold(std::int16_t n);
    std::int16_t SThreshold() const { return sThreshold_; }
    void setSThreshold(std::int16_t n);

    // Setting True opens port CommPort with the current settings and raises DTR and RTS
    // as enabled; it throws when the device does not exist, cannot be opened, or is held
    // by another program (another open with an exclusive lock, or the device in
    // exclusive use). The port is kept from other copies of this program by a lock, not
    // by the device's exclusive mode, so that a program that ends in any way (killed
    // too) leaves the device free to open. Setting False closes.
    // Setting the current state again does nothing... except that True while open
    // throws PortAlreadyOpen.
    bool PortOpen() const;
    void setPortOpen(bool open);

    // Writes the whole string, one byte per character (Latin-1; a character without a
    // byte goes out as '?'). Throws PortNotOpen when closed, PortWrite on failure.
    void Output(const QString& text);
    // Everything received since the last read, as the bytes that came: the text, one
    // character per byte (Latin-1), kept as bytes so that it reaches the receive box and
    // the log without being widened; empty when nothing is waiting. Throws PortNotOpen
    // when closed.
    QByteArray Input();
    // The reason for the OnComm event being handled (0 before any event).
    std::int16_t CommEvent() const { return commEvent_; }

    // True while characters have arrived whose receive event has not been raised yet.
    bool receivePending() const { return receivePacer_.isActive() || arrivals_.queued(); }
    // Raises the receive event now for every character that has arrived and not been
    // announced yet: held back by the pacing, queued behind a handler, or still waiting
    // in the driver. Before the port is closed for good, so that what the device sent
    // reaches the handler. Does nothing while closed or while RThreshold is 0.
    void deliverPending();

    // The device path of the open port, or of the port that would be opened.
    QString devicePath() const;

signals:
    void OnComm();

private:
    void raise(std::int16_t event);
    void deviceLost();
    void applySettings();
    void applyModemLines();
    [[noreturn]] void fail(std::int32_t number, const QString& description) const;

    // Connected to the open port's signals.
    void onReadyRead();
    void raiseReceive();
    void onBytesWritten();
    void onPortError(int error);
    // Closes the port (after pushing out what is still buffered when `drain`) and
    // releases the lock. A handler of OnComm may close the port while the QSerialPort is
    // still on the stack below it: such a port is kept until the event has been handled
    // (keepAlive_).
    void closePort(bool drain);
    void setModemLine(bool dtr, bool on);

    std::unique_ptr<QSerialPort> port_;
    QString openPath_;               // the device path the open port was resolved from
    ArrivalReannounce arrivals_;     // receive events for what came during a handler
    QTimer receivePacer_;            // holds back a receive event that follows too soon
    QElapsedTimer lastReceive_;      // when the last receive event was raised
    bool slowStream_ = true;         // the last receive event brought little
    bool sendPosted_ = false;        // a transmit-buffer-empty check is queued
    EventKeepAlive keepAlive_{this}; // ports closed during an OnComm emission
    std::int16_t commPort_ = 1;
    QString settings_ = QStringLiteral("9600,N,8,1");
    bool dtr_ = false;
    bool rts_ = false;
    std::int16_t rThreshold_ = 0;
    std::int16_t sThreshold_ = 0;
    std::int16_t commEvent_ = 0;
    bool lost_ = false;
    bool draining_ = false;       // the last receive event before a loss is raised
    portlock::DeviceClaim claim_; // the open port's own descriptor and lock on the device
};
