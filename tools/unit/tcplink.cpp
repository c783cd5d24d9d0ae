#include "tcplink.h"

#include "console.h"
#include "options.h"
#include "responder.h"
#include "splitting.h"

#include <QHostAddress>

namespace {
// A client that sends this much without ever forming a command is cut off.
constexpr qsizetype maxBuffer = 64 * 1024;
} // namespace

TcpLink::TcpLink(Responder& responder, const UnitOptions& options, QObject* parent)
    : QObject(parent), m_responder(responder), m_options(options) {
    connect(&m_server, &QTcpServer::newConnection, this, &TcpLink::acceptClients);
}

int TcpLink::listen() {
    const auto port = static_cast<quint16>(m_options.tcpPort);
    if (m_server.listen(QHostAddress::LocalHost, port))
        return ExitOk;
    QString message =
        QString("cannot listen on 127.0.0.1:%1: %2").arg(port).arg(m_server.errorString());
    if (port != 0 && port < 1024) {
        message += QString(". Port %1 is privileged: it needs root, or run the unit inside a "
                           "user+network namespace (unshare -rn), or pick another port "
                           "with --tcp-port")
                       .arg(port);
    }
    console::error(message);
    return ExitTcpBind;
}

void TcpLink::acceptClients() {
    while (QTcpSocket* socket = m_server.nextPendingConnection())
        new TcpSession(socket, m_responder, m_options, this);
}

TcpSession::TcpSession(QTcpSocket* socket, Responder& responder, const UnitOptions& options,
                       QObject* parent)
    : QObject(parent), m_socket(socket), m_responder(responder), m_options(options),
      m_writer(options.chunk, options.chunkDelayMs, [this](const QByteArray& bytes) {
          if (m_socket->state() == QAbstractSocket::ConnectedState) {
              m_socket->write(bytes);
              m_socket->flush();
          }
      }) {
    m_socket->setParent(this);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_peer = m_socket->peerAddress().toString().toLatin1() + ':' +
             QByteArray::number(m_socket->peerPort());
    console::traffic("tcp open ", m_peer);

    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(tcpIdleMs);
    connect(&m_idleTimer, &QTimer::timeout, this, [this] { process(true); });
    connect(m_socket, &QTcpSocket::readyRead, this, &TcpSession::readIncoming);
    connect(m_socket, &QTcpSocket::disconnected, this, &TcpSession::finish);
    connect(&m_writer, &AnswerWriter::drained, this, &TcpSession::closeWhenFlushed);
    // Bytes may have arrived before the signals were connected.
    if (m_socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &TcpSession::readIncoming);
}

void TcpSession::readIncoming() {
    const QByteArray bytes = m_socket->readAll();
    if (m_closing || bytes.isEmpty())
        return;
    m_buffer += bytes;
    process(false);
    if (m_buffer.size() > maxBuffer) {
        console::error("client " + QString::fromLatin1(m_peer) + " sends no commands; closing it");
        m_buffer.clear();
        m_closing = true;
        m_socket->abort();
        return;
    }
    if (m_buffer.isEmpty())
        m_idleTimer.stop();
    else
        m_idleTimer.start(); // restarted by every new byte
}

void TcpSession::process(bool idle) {
    for (const QByteArray& command : takeTcpCommands(m_buffer, idle)) {
        if (m_closing)
            break;
        console::traffic("tcp< ", command);
        if (m_options.silent)
            continue;
        const QList<QByteArray> answer = m_responder.answer(command);
        if (answer.isEmpty())
            continue;
        for (const QByteArray& line : answer) {
            console::traffic("tcp> ", line);
            m_writer.write(line + "\r\n");
        }
        ++m_answered;
        if (m_options.closeAfter > 0 && m_answered >= m_options.closeAfter) {
            m_closing = true;
            m_buffer.clear();
            m_idleTimer.stop();
            closeWhenFlushed();
        }
    }
}

void TcpSession::closeWhenFlushed() {
    if (!m_closing || !m_writer.idle() || m_finished)
        return;
    // disconnectFromHost() sends what is still buffered before it closes.
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->disconnectFromHost();
}

void TcpSession::finish() {
    if (m_finished)
        return;
    m_finished = true;
    m_idleTimer.stop();
    m_writer.discard();
    console::traffic("tcp closed ", m_peer);
    deleteLater();
}
