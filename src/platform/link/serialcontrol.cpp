#include "platform/link/serialcontrol.h"

#include "platform/base/latin1.h"
#include "platform/base/paths.h"
#include "platform/base/portlock.h"
#include "platform/base/runtimeerror.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

namespace {

// How long closing the port may wait for bytes that Output() handed over but the device
// has not taken yet.
constexpr int DrainMilliseconds = 500;

struct LineSettings {
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

bool allDigits(QStringView text) {
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

// "baud,parity,data,stop" as the Settings property takes it; nothing else.
std::optional<LineSettings> parseSettings(const QString& text) {
    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4)
        return std::nullopt;
    LineSettings s;

    const QString& baud = fields[0];
    if (!allDigits(baud) || baud.size() > 10)
        return std::nullopt;
    const qint64 rate = baud.toLongLong();
    if (rate <= 0 || rate > std::numeric_limits<qint32>::max())
        return std::nullopt;
    s.baud = static_cast<qint32>(rate);

    const QString parity = fields[1].toUpper();
    if (parity == QLatin1String("N"))
        s.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("E"))
        s.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("O"))
        s.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("M"))
        s.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("S"))
        s.parity = QSerialPort::SpaceParity;
    else
        return std::nullopt;

    const QString& data = fields[2];
    if (data == QLatin1String("5"))
        s.dataBits = QSerialPort::Data5;
    else if (data == QLatin1String("6"))
        s.dataBits = QSerialPort::Data6;
    else if (data == QLatin1String("7"))
        s.dataBits = QSerialPort::Data7;
    else if (data == QLatin1String("8"))
        s.dataBits = QSerialPort::Data8;
    else
        return std::nullopt;

    const QString& stop = fields[3];
    if (stop == QLatin1String("1"))
        s.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        s.stopBits = QSerialPort::TwoStop;
    else
        return std::nullopt;
    return s;
}

#ifdef Q_OS_UNIX
QString systemMessage(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// True when the descriptor reports a hang-up or an error condition: the other side of a
// pseudo-terminal closed, or the adapter behind the device went away.
bool hungUp(int fd) {
    if (fd < 0)
        return true;
    pollfd p{};
    p.fd = fd;
    p.events = POLLIN | POLLOUT;
    if (::poll(&p, 1, 0) <= 0)
        return false;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}
#endif

} // namespace

SerialControl::SerialControl(QObject* parent)
    : QObject(parent),
      arrivals_(
          this,
          [this](QIODevice* device) { return device == port_.get() && !lost_ && rThreshold_ >= 1; },
          [this](QIODevice*) { raiseReceive(); }) {
    receivePacer_.setSingleShot(true);
    receivePacer_.setTimerType(Qt::PreciseTimer);
    connect(&receivePacer_, &QTimer::timeout, this, &SerialControl::raiseReceive);
}

SerialControl::~SerialControl() {
    closePort(true);
}

void SerialControl::fail(std::int32_t number, const QString& description) const {
    throw RuntimeError(number, description, objectName());
}

void SerialControl::setCommPort(std::int16_t port) {
    if (port == commPort_)
        return;
    if (PortOpen())
        fail(err::PortAlreadyOpen,
             QStringLiteral("Port %1 is open; close it before choosing another port")
                 .arg(commPort_));
    if (port < 1 || port > 255)
        fail(err::InvalidPortNumber,
             QStringLiteral("Invalid port number %1: ports are numbered 1 to 255").arg(port));
    commPort_ = port;
}

void SerialControl::setSettings(const QString& settings) {
    if (!parseSettings(settings))
        fail(err::InvalidPropertyValue,
             QStringLiteral("Invalid property value: \"%1\" is not a line setting (expected "
                            "baud,parity,data,stop such as 19200,N,8,1)")
                 .arg(settings));
    const QString previous = settings_;
    settings_ = settings;
    if (!PortOpen())
        return;
    try {
        applySettings();
    } catch (const RuntimeError&) {
        settings_ = previous;
        try {
            applySettings();
        } catch (const RuntimeError&) {
            // The device refused the old settings too; the first failure is the one to
            // report.
        }
        throw;
    }
}

void SerialControl::applySettings() {
    const auto s = parseSettings(settings_);
    if (!port_ || !s)
        return;
    QSerialPort& p = *port_;
#ifdef Q_OS_UNIX
    const bool framingless = portlock::isPseudoTerminal(p.handle());
#else
    const bool framingless = false;
#endif
    const auto check = [&](bool ok, bool framing) {
        if (ok)
            return;
        // A pseudo-terminal carries bytes, not bits: it keeps 8 data bits and no parity
        // and refuses to change them. Opening one with such settings succeeds the same way.
        if (framing && framingless) {
            p.clearError();
            return;
        }
        fail(err::PortSettings,
             QStringLiteral("Port %1 (%2): the line settings \"%3\" could not be applied: %4")
                 .arg(commPort_)
                 .arg(openPath_, settings_, p.errorString()));
    };
    check(p.setBaudRate(s->baud), false);
    check(p.setDataBits(s->dataBits), true);
    check(p.setParity(s->parity), true);
    check(p.setStopBits(s->stopBits), false);
    check(p.setFlowControl(QSerialPort::NoFlowControl), false);
}

void SerialControl::setModemLine(bool dtr, bool on) {
    QSerialPort& p = *port_;
    const bool ok = dtr ? p.setDataTerminalReady(on) : p.setRequestToSend(on);
    if (ok)
        return;
    // A device without modem lines (a pseudo-terminal has none) is used without them.
    if (p.error() == QSerialPort::UnsupportedOperationError) {
        p.clearError();
        return;
    }
    fail(err::PortSettings,
         QStringLiteral("Port %1 (%2): the %3 line could not be set: %4")
             .arg(commPort_)
             .arg(openPath_, dtr ? QStringLiteral("DTR") : QStringLiteral("RTS"), p.errorString()));
}

void SerialControl::applyModemLines() {
    if (!port_)
        return;
    setModemLine(true, dtr_);
    setModemLine(false, rts_);
}

void SerialControl::setDTREnable(bool on) {
    dtr_ = on;
    if (PortOpen())
        setModemLine(true, on);
}

void SerialControl::setRTSEnable(bool on) {
    rts_ = on;
    if (PortOpen())
        setModemLine(false, on);
}

void SerialControl::setRThreshold(std::int16_t n) {
    if (n < 0)
        fail(err::InvalidPropertyValue,
             QStringLiteral("Invalid property value: RThreshold cannot be negative (%1)").arg(n));
    rThreshold_ = n;
}

void SerialControl::setSThreshold(std::int16_t n) {
    if (n < 0)
        fail(err::InvalidPropertyValue,
             QStringLiteral("Invalid property value: SThreshold cannot be negative (%1)").arg(n));
    sThreshold_ = n;
}

bool SerialControl::PortOpen() const {
    return port_ && port_->isOpen() && (!lost_ || draining_);
}

QString SerialControl::devicePath() const {
    return PortOpen() ? openPath_ : paths::comDevicePath(commPort_);
}

void SerialControl::setPortOpen(bool open) {
    if (!open) {
        closePort(true);
        return;
    }
    if (PortOpen())
        fail(err::PortAlreadyOpen, QStringLiteral("Port %1 is already open").arg(commPort_));
    // A port whose device vanished a moment ago may not have been closed yet.
    closePort(false);

    const QString path = paths::comDevicePath(commPort_);
    const QFileInfo info(path);
    // The device itself, not the link to it: the lock file QSerialPort keeps is named
    // after the device.
    const QString target = info.canonicalFilePath();
#ifdef Q_OS_UNIX
    const QString device = target.isEmpty() ? path : target;
#else
    const QString device = path; // COMn, opened by name
#endif
    QString shown = path;
    if (info.isSymLink())
        shown += QStringLiteral(" -> ") + info.symLinkTarget();
    const auto openFailed = [&](const QString& why) {
        return QStringLiteral("Port %1 could not be opened (%2): %3")
            .arg(commPort_)
            .arg(shown, why);
    };
    const auto held = [&](const QString& why) {
        return QStringLiteral("Port %1 (%2) is in use by another program: %3")
            .arg(commPort_)
            .arg(shown, why);
    };

    portlock::DeviceClaim claim;
#ifdef Q_OS_UNIX
    // Exclusive use: a descriptor of our own carries an flock on the device. Another
    // opener that takes the same lock (another instance of this program) fails, also
    // when it runs as root, which the device's exclusive mode does not stop. The lock is
    // taken before QSerialPort touches the line settings, so a failed attempt leaves the
    // holder's port as it was.
    claim = portlock::claimDevice(device);
    if (claim.error == EBUSY)
        fail(err::PortHeld, QStringLiteral("Port %1 (%2) is busy: %3")
                                .arg(commPort_)
                                .arg(shown, portlock::busyReason(device, claim)));
    if (claim.busy() && !claim.opened())
        fail(err::PortHeld, held(portlock::busyReason(device, claim)));
    if (!claim.opened())
        fail(err::PortOpenFailed, openFailed(systemMessage(claim.error)));
#endif

    auto port = std::make_unique<QSerialPort>();
    const auto s = parseSettings(settings_);
    port->setPortName(device);
    port->setBaudRate(s->baud);
    port->setParity(s->parity);
    port->setDataBits(s->dataBits);
    port->setStopBits(s->stopBits);
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (!port->open(QIODevice::ReadWrite)) {
        const QString why = port->errorString();
        const QSerialPort::SerialPortError error = port->error();
        port.reset();
        portlock::release(claim);
        if (error == QSerialPort::PermissionError) {
            // We could open the device ourselves, so what failed is QSerialPort's lock file
            // (or an exclusive open) held by someone else. Name the lock and its owner,
            // and how to clear one that its owner left behind.
            const portlock::PortLock lock = portlock::inspect(device);
            if (lock.exists)
                fail(err::PortHeld, held(portlock::describe(lock) + QStringLiteral(". ") +
                                         portlock::advice(lock, commPort_)));
            fail(err::PortHeld, held(why));
        }
        if (error == QSerialPort::UnsupportedOperationError)
            fail(err::PortSettings,
                 QStringLiteral("Port %1 (%2): the line settings \"%3\" could not be applied: %4")
                     .arg(commPort_)
                     .arg(shown, settings_, why));
        fail(err::PortOpenFailed, openFailed(why));
    }
    // QSerialPort has turned on the device's exclusive mode, which only its own close()
    // turns off: a program that is killed would leave the device shut for everyone but
    // root, and a pseudo-terminal so until the program on its other side ends. The lock
    // taken above and QSerialPort's lock file keep other copies of this program, and
    // other programs that honour lock files, away as long as the port is open, so the
    // mode is taken back at once; unless the device was in it before (opened by root),
    // when it belongs to another program.
    if (!claim.exclusive)
        portlock::leaveExclusiveMode(port->handle());
    port_ = std::move(port);
    claim_ = claim;
    lost_ = false;
    openPath_ = path;
    try {
        applyModemLines();
    } catch (const RuntimeError&) {
        closePort(false);
        throw;
    }

    QSerialPort* p = port_.get();
    connect(p, &QSerialPort::readyRead, this, &SerialControl::onReadyRead);
    connect(p, &QSerialPort::bytesWritten, this, &SerialControl::onBytesWritten);
    connect(p, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError e) { onPortError(static_cast<int>(e)); });
}

void SerialControl::closePort(bool drain) {
    receivePacer_.stop();
    lastReceive_.invalidate();
    slowStream_ = true;
    if (port_) {
        QSerialPort* port = port_.release();
        port->disconnect(this);
        if (port->isOpen()) {
            if (drain && !lost_) {
                QElapsedTimer waited;
                waited.start();
                while (port->bytesToWrite() > 0 && waited.elapsed() < DrainMilliseconds) {
                    if (!port->waitForBytesWritten(int(DrainMilliseconds - waited.elapsed())))
                        break;
                }
            }
            port->close();
        }
        // Closed from an OnComm handler, the port may be on the stack below it.
        keepAlive_.release(port);
    }
    portlock::release(claim_);
    openPath_.clear();
}

void SerialControl::raise(std::int16_t event) {
    commEvent_ = event;
    // The handler may close the port, reopen it, or throw; ports it closed are deleted
    // once the outermost emission is over.
    const EventKeepAlive::Raising raising(keepAlive_);
    emit OnComm();
}

void SerialControl::onReadyRead() {
    if (!port_ || lost_ || rThreshold_ < 1)
        return;
    const int gap = slowStream_ ? SlowReceiveGapMs : ReceiveGapMs;
    const qint64 since = lastReceive_.isValid() ? lastReceive_.elapsed() : gap;
    if (since >= gap) {
        // The gap is over: this arrival's wake-up raises the event for everything held.
        receivePacer_.stop();
        raiseReceive();
        return;
    }
    // Held back. In a steady stream the next arrivals come sooner than the pacer would
    // fire, and the first after the gap raises the event; the pacer is there for the
    // last piece of a burst, which it raises a little after the gap.
    if (!receivePacer_.isActive())
        receivePacer_.start(int(gap - since) + ReceiveGapMs);
}

void SerialControl::raiseReceive() {
    QSerialPort* port = port_.get();
    if (!port || lost_ || rThreshold_ < 1 || port->bytesAvailable() <= 0)
        return;
    arrivals_.raise(port, [this](qint64 waiting) {
        lastReceive_.start();
        slowStream_ = waiting < SlowBelowBytes;
        raise(EvReceive);
    });
}

void SerialControl::deliverPending() {
    QSerialPort* port = port_.get();
    if (!port || !port->isOpen() || lost_ || rThreshold_ < 1)
        return;
#ifdef Q_OS_UNIX
    // Take in what the driver holds; its readyRead may raise the event itself.
    pollfd p{};
    p.fd = port->handle();
    p.events = POLLIN;
    if (p.fd >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN))
        port->waitForReadyRead(0);
#endif
    if (port_.get() != port || lost_ || !port->isOpen())
        return;
    receivePacer_.stop();
    raiseReceive();
}

void SerialControl::onBytesWritten() {
    if (sThreshold_ < 1 || sendPosted_ || !port_)
        return;
    // bytesWritten can be emitted from within Output() (QSerialPort::flush), so the event
    // is raised from the event loop, never from inside a call the program made.
    sendPosted_ = true;
    QMetaObject::invokeMethod(
        this,
        [this, guard = QPointer<QSerialPort>(port_.get())] {
            sendPosted_ = false;
            if (!guard || guard.data() != port_.get() || lost_ || sThreshold_ < 1 ||
                guard->bytesToWrite() > 0)
                return;
            raise(EvSend);
        },
        Qt::QueuedConnection);
}

void SerialControl::onPortError(int error) {
    QSerialPort* port = port_.get();
    if (!port || lost_ || !port->isOpen())
        return;
    bool gone = false;
    switch (error) {
    case QSerialPort::ReadError:
        // The device was readable but gave nothing: a hung-up terminal reads end-of-file.
        // QSerialPort keeps its read notifier on and would report this again and again.
    case QSerialPort::WriteError:
    case QSerialPort::DeviceNotFoundError:
        gone = true;
        break;
    case QSerialPort::ResourceError:
        // EIO (device gone) or EAGAIN (device busy for a moment) alike.
#ifdef Q_OS_UNIX
        gone = hungUp(port->handle());
#else
        gone = true;
#endif
        break;
    default:
        // UnsupportedOperationError (modem lines of a pseudo-terminal), timeouts and the
        // like leave the port usable.
        break;
    }
    if (!gone)
        return;
    lost_ = true;
    // Stop the port's notifiers at once so that a device that keeps reporting itself
    // readable cannot spin the event loop; the port is closed from the event loop, not
    // inside its own signal.
    const auto notifiers = port->findChildren<QSocketNotifier*>();
    for (QSocketNotifier* n : notifiers)
        n->setEnabled(false);
    QMetaObject::invokeMethod(
        this,
        [this, guard = QPointer<QSerialPort>(port)] {
            if (guard && guard.data() == port_.get())
                deviceLost();
        },
        Qt::QueuedConnection);
}

void SerialControl::deviceLost() {
    // What arrived before the loss and still waits for its receive event (held back by
    // the pacing, or read just before the error) is announced first, while the handler
    // can still read it; only then is the port closed.
    QSerialPort* port = port_.get();
    if (port && port->isOpen() && rThreshold_ >= 1 && port->bytesAvailable() > 0) {
        receivePacer_.stop();
        draining_ = true;
        struct Leave {
            bool& flag;
            ~Leave() { flag = false; }
        } leave{draining_};
        raise(EvReceive);
    }
    closePort(false);
    raise(EvDeviceLost);
}

void SerialControl::Output(const QString& text) {
    if (!PortOpen())
        fail(err::PortNotOpen, QStringLiteral("Port %1 is not open").arg(commPort_));
    const QByteArray bytes = toLatin1Bytes(text);
    if (bytes.isEmpty())
        return;
    QSerialPort* port = port_.get();
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 n = port->write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0)
            fail(err::PortWrite, QStringLiteral("Port %1 (%2): the data could not be written: %3")
                                     .arg(commPort_)
                                     .arg(openPath_, port->errorString()));
        done += n;
    }
    // Hand the bytes to the device now; what it cannot take at once follows as it drains.
    port->flush();
    if (port_.get() != port || lost_)
        fail(err::PortWrite, QStringLiteral("Port %1 (%2): the data could not be written: the "
                                            "device is no longer available")
                                 .arg(commPort_)
                                 .arg(devicePath()));
}

QByteArray SerialControl::Input() {
    if (!PortOpen())
        fail(err::PortNotOpen, QStringLiteral("Port %1 is not open").arg(commPort_));
    QByteArray bytes = port_->readAll();
    arrivals_.read(bytes.size());
    return bytes;
}
