#include "support/loopbackserver.h"

#include "platform/link/socketcontrol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>

LoopbackServer::LoopbackServer(std::uint16_t port, QObject* parent)
    : QObject(parent), server_(new QTcpServer(this)) {
    connect(server_, &QTcpServer::newConnection, this, &LoopbackServer::accept);
    server_->listen(QHostAddress(QHostAddress::LocalHost), port);
}

LoopbackServer::~LoopbackServer() {
    for (const Connection& c : std::as_const(connections_)) {
        if (c.socket)
            c.socket->disconnect(this);
    }
}

bool LoopbackServer::isListening() const {
    return server_->isListening();
}

std::uint16_t LoopbackServer::port() const {
    return server_->serverPort();
}

int LoopbackServer::openConnectionCount() const {
    int n = 0;
    for (const Connection& c : connections_)
        n += c.clientClosed ? 0 : 1;
    return n;
}

void LoopbackServer::accept() {
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        const int index = int(connections_.size());
        connections_.append(Connection{socket, {}, false});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, index] {
            const QByteArray bytes = socket->readAll();
            connections_[index].received += bytes;
            total_ += bytes;
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket, index] {
            // Whatever came with the close is still in the buffer.
            const QByteArray bytes = socket->readAll();
            connections_[index].received += bytes;
            total_ += bytes;
            connections_[index].clientClosed = true;
            socket->deleteLater();
        });
    }
}

bool LoopbackServer::waitUntil(int ms, const std::function<bool()>& done) {
    QDeadlineTimer deadline(ms);
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (done())
            return true;
        if (deadline.hasExpired())
            return false;
        ::poll(nullptr, 0, 1); // a short sleep, so that waiting costs next to no CPU
    }
}

bool LoopbackServer::waitForConnection(int ms) {
    if (!waitUntil(ms, [this] { return connections_.size() > claimed_; }))
        return false;
    claimed_ = int(connections_.size());
    return true;
}

bool LoopbackServer::waitForBytes(qsizetype n, int ms) {
    return waitUntil(ms, [this, n] { return total_.size() >= n; });
}

bool LoopbackServer::waitForClientClosed(int ms) {
    return waitUntil(
        ms, [this] { return !connections_.isEmpty() && connections_.constLast().clientClosed; });
}

QByteArray LoopbackServer::received() const {
    return connections_.isEmpty() ? QByteArray() : connections_.constLast().received;
}

QByteArray LoopbackServer::received(int index) const {
    return index >= 0 && index < connections_.size() ? connections_.at(index).received
                                                     : QByteArray();
}

QByteArray LoopbackServer::receivedBeforeMarker(SocketControl& sender, int ms) {
    static int count = 0;
    const QByteArray marker = "<marker " + QByteArray::number(++count) + '>';
    if (connections_.isEmpty())
        return "<no marker> no connection";
    const qsizetype index = connections_.size() - 1;
    sender.SendData(QString::fromLatin1(marker));
    if (!waitUntil(ms, [&] { return connections_[index].received.contains(marker); }))
        return "<no marker> " + connections_[index].received;
    QByteArray& received = connections_[index].received;
    const qsizetype at = received.indexOf(marker);
    received.remove(at, marker.size());
    total_.remove(total_.indexOf(marker), marker.size());
    return received.left(at);
}

bool LoopbackServer::send(const QByteArray& bytes) {
    if (connections_.isEmpty() || !connections_.constLast().socket)
        return false;
    QTcpSocket* socket = connections_.constLast().socket;
    if (socket->write(bytes) != bytes.size())
        return false;
    socket->flush();
    return true;
}

bool LoopbackServer::waitUntilTaken(int ms) const {
    if (connections_.isEmpty() || !connections_.constLast().socket)
        return false;
    QTcpSocket* socket = connections_.constLast().socket;
    const int fd = int(socket->socketDescriptor());
    QDeadlineTimer deadline(ms);
    for (;;) {
        int unacknowledged = 0;
        if (socket->bytesToWrite() == 0 && ::ioctl(fd, SIOCOUTQ, &unacknowledged) == 0 &&
            unacknowledged == 0)
            return true;
        if (deadline.hasExpired())
            return false;
        ::poll(nullptr, 0, 1);
    }
}

void LoopbackServer::closeClient() {
    if (connections_.isEmpty() || !connections_.constLast().socket)
        return;
    connections_.constLast().socket->disconnectFromHost();
}

void LoopbackServer::stopListening() {
    server_->close();
}
