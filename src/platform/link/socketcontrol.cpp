#include "platform/link/socketcontrol.h"

#include "platform/base/latin1.h"
#include "platform/base/runtimeerror.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QStringList>
#include <QTcpSocket>

#include <limits>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/socket.h>
#endif

namespace {

QString addressText(std::uint32_t a) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(a >> 24)
        .arg((a >> 16) & 0xFF)
        .arg((a >> 8) & 0xFF)
        .arg(a & 0xFF);
}

const QString& wrongStateText() {
    static const QString text =
        QStringLiteral("Wrong protocol or connection state for the requested transaction or "
                       "request");
    return text;
}

QString stateName(SocketControl::State state) {
    switch (state) {
    case SocketControl::State::Closed:
        return QStringLiteral("closed");
    case SocketControl::State::Connecting:
        return QStringLiteral("connecting");
    case SocketControl::State::Connected:
        return QStringLiteral("connected");
    case SocketControl::State::Closing:
        return QStringLiteral("closed by the other side");
    case SocketControl::State::Error:
        return QStringLiteral("failed");
    }
    return QString();
}

} // namespace

bool SocketControl::parseIPv4(const QString& text, std::uint32_t& address) {
    const QStringList fields = text.split(QLatin1Char('.'));
    if (fields.size() != 4)
        return false;
    std::uint32_t result = 0;
    for (const QString& field : fields) {
        if (field.isEmpty() || field.size() > 3)
            return false;
        std::uint32_t value = 0;
        for (const QChar c : field) {
            // ASCII digits only: QChar::isDigit() would take other scripts' digits too.
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
            value = value * 10 + (c.unicode() - u'0');
        }
        if (value > 255)
            return false;
        result = (result << 8) | value;
    }
    address = result;
    return true;
}

std::uint32_t SocketControl::checkedRemoteAddress() const {
    std::uint32_t address = 0;
    if (!parseIPv4(RemoteHost(), address))
        fail(err::AddressNotLiteral,
             QStringLiteral("The remote host \"%1\" is not an IPv4 address: four numbers from 0 "
                            "to 255 separated by dots are needed (such as 192.168.1.100); host "
                            "names are not looked up")
                 .arg(RemoteHost()));
    // Read at every connect, so a test can switch it on for a single case.
    if (qEnvironmentVariable("QUORLANE_LOOPBACK_ONLY") == QLatin1String("1") &&
        (address >> 24) != 127)
        fail(err::AddressNotLoopback,
             QStringLiteral("The remote host %1 is outside the loopback range 127.0.0.0/8; only "
                            "loopback addresses may be used while QUORLANE_LOOPBACK_ONLY=1 is "
                            "set")
                 .arg(addressText(address)));
    return address;
}

void SocketControl::fail(std::int32_t number, const QString& description) const {
    throw RuntimeError(number, description, objectName());
}

TcpSocketControl::TcpSocketControl(QObject* parent)
    : SocketControl(parent),
      arrivals_(
          this, [this](QIODevice* device) { return device == socket_; },
          [this](QIODevice* device) { onReadyRead(static_cast<QTcpSocket*>(device)); }) {}

TcpSocketControl::~TcpSocketControl() {
    dropSocket();
}

void TcpSocketControl::resetSocket() {
    dropSocket();
    auto* socket = new QTcpSocket(this);
    // A direct connection only: no proxy from the environment may redirect it, and an
    // address (never a name) is all that is ever given.
    socket->setProxy(QNetworkProxy::NoProxy);
    connect(socket, &QTcpSocket::connected, this, [this, socket] {
        if (socket == socket_ && state_ == State::Connecting)
            state_ = State::Connected;
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { onDisconnected(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this,
            [this, socket](QAbstractSocket::SocketError e) {
                onSocketError(socket, static_cast<int>(e));
            });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    socket_ = socket;
}

void TcpSocketControl::dropSocket() {
    QTcpSocket* socket = std::exchange(socket_, nullptr);
    if (!socket)
        return;
    socket->disconnect(this);
    if (socket->state() == QAbstractSocket::ConnectedState) {
        // Hand over what is still buffered, then read away what the peer sent and nobody
        // fetched: closing a TCP socket with unread data makes the system reset the
        // connection, and a reset can discard bytes just sent.
        socket->flush();
#ifdef Q_OS_UNIX
        const qintptr fd = socket->socketDescriptor();
        if (fd >= 0) {
            char sink[4096];
            for (int i = 0; i < 64; ++i) {
                if (::recv(int(fd), sink, sizeof sink, MSG_DONTWAIT) <= 0)
                    break;
            }
        }
#endif
    }
    socket->abort();
    keepAlive_.release(socket);
}

void TcpSocketControl::Connect() {
    if (state_ != State::Closed)
        fail(err::WrongSocketState,
             wrongStateText() +
                 QStringLiteral(": Connect needs a closed socket, but the socket is %1")
                     .arg(stateName(state_)));
    const std::uint32_t address = checkedRemoteAddress();
    resetSocket();
    // The state is set first: a connect that fails at once reports it from inside
    // connectToHost().
    state_ = State::Connecting;
    socket_->connectToHost(QHostAddress(address), RemotePort());
}

void TcpSocketControl::SendData(const QString& data) {
    if (state_ != State::Connected || !socket_)
        fail(err::WrongSocketState,
             wrongStateText() +
                 QStringLiteral(": SendData needs a connected socket, but the socket is %1")
                     .arg(stateName(state_)));
    const QByteArray bytes = toLatin1Bytes(data);
    if (bytes.isEmpty())
        return;
    QTcpSocket* socket = socket_;
    if (socket->write(bytes) != bytes.size())
        fail(err::SocketSend,
             QStringLiteral("The data could not be sent: %1").arg(socket->errorString()));
    socket->flush();
}

void TcpSocketControl::GetData(QByteArray& data) {
    if (!socket_) {
        data.clear();
        return;
    }
    data = socket_->readAll();
    arrivals_.read(data.size());
}

void TcpSocketControl::Close() {
    dropSocket();
    state_ = State::Closed;
}

void TcpSocketControl::deliverPending() {
    QTcpSocket* socket = socket_;
    if (!socket)
        return;
#ifdef Q_OS_UNIX
    // Take in what the system holds; its readyRead raises the event itself.
    const qintptr fd = socket->socketDescriptor();
    pollfd p{};
    p.fd = int(fd);
    p.events = POLLIN;
    if (fd >= 0 && socket->state() == QAbstractSocket::ConnectedState && ::poll(&p, 1, 0) > 0 &&
        (p.revents & POLLIN))
        socket->waitForReadyRead(0);
#endif
    if (socket == socket_ && socket->bytesAvailable() > 0)
        onReadyRead(socket);
}

void TcpSocketControl::onDisconnected(QTcpSocket* socket) {
    if (socket != socket_)
        return;
    if (state_ == State::Connected)
        state_ = State::Closing;
    else if (state_ == State::Connecting)
        state_ = State::Error;
}

void TcpSocketControl::onSocketError(QTcpSocket* socket, int error) {
    if (socket != socket_)
        return;
    if (error == QAbstractSocket::RemoteHostClosedError && state_ == State::Connected) {
        state_ = State::Closing;
        return;
    }
    // Once the peer has closed, the connection is over; later complaints change nothing.
    if (state_ == State::Connecting || state_ == State::Connected)
        state_ = State::Error;
}

void TcpSocketControl::onReadyRead(QTcpSocket* socket) {
    if (socket != socket_ || socket->bytesAvailable() <= 0)
        return;
    arrivals_.raise(socket, [this](qint64 waiting) {
        // The handler may close or reconnect (dropping this socket) or throw; sockets it
        // dropped are deleted once the outermost emission is over.
        const EventKeepAlive::Raising raising(keepAlive_);
        emit DataArrival(
            std::int32_t(std::min<qint64>(waiting, std::numeric_limits<std::int32_t>::max())));
    });
}
