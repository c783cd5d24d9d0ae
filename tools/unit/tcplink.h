#pragma once

#include "answerwriter.h"

#include <QByteArray>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

class Responder;
struct UnitOptions;

// The unit's TCP side: a listener on 127.0.0.1 that takes any number of clients.
class TcpLink : public QObject {
    Q_OBJECT
public:
    TcpLink(Responder& responder, const UnitOptions& options, QObject* parent = nullptr);

    // Starts listening. Returns ExitOk, or ExitTcpBind after printing why on stderr.
    int listen();
    quint16 port() const { return m_server.serverPort(); }

private:
    void acceptClients();

    Responder& m_responder;
    const UnitOptions& m_options;
    QTcpServer m_server;
};

// One client connection: cuts the incoming bytes into commands and answers them.
class TcpSession : public QObject {
    Q_OBJECT
public:
    TcpSession(QTcpSocket* socket, Responder& responder, const UnitOptions& options,
               QObject* parent = nullptr);

private:
    void readIncoming();
    void process(bool idle);
    void closeWhenFlushed();
    void finish();

    QTcpSocket* m_socket;
    Responder& m_responder;
    const UnitOptions& m_options;
    QByteArray m_peer;
    QByteArray m_buffer;
    QTimer m_idleTimer;
    AnswerWriter m_writer;
    int m_answered = 0;
    bool m_closing = false;
    bool m_finished = false;
};
