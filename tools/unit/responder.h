#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>

// The unit's side of the conversation: what it answers to one command. Shared by the
// serial and the TCP link, so readings on both carry one running sequence number.
class Responder {
public:
    Responder(const QByteArray& address, qint64 firstSequence);

    // The answer lines (without CR LF) to one command; none for an empty command.
    QList<QByteArray> answer(const QByteArray& command);

    // Every word the unit knows, longest first.
    static const QList<QByteArray>& knownWords();

private:
    QByteArray reading(int kind);

    QByteArray m_address;
    qint64 m_sequence;
    QElapsedTimer m_uptime;
};
