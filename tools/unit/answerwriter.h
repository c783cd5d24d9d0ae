#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <functional>

// Hands answers to a link, either whole or (with --chunk) in pieces of a fixed size
// written some milliseconds apart, so that the receiver sees one answer arrive in
// several reads. Order is kept across answers.
class AnswerWriter : public QObject {
    Q_OBJECT
public:
    using Sink = std::function<void(const QByteArray&)>;

    AnswerWriter(int chunk, int delayMs, Sink sink, QObject* parent = nullptr);

    void write(const QByteArray& bytes);
    // True when everything written so far has been handed to the sink.
    bool idle() const { return m_pending.isEmpty(); }
    // Forgets what has not been handed on yet.
    void discard();

signals:
    // Emitted when the last pending piece has been handed on (only after a paced write).
    void drained();

private:
    void writePiece();

    int m_chunk;
    Sink m_sink;
    QByteArray m_pending;
    QTimer m_timer;
};
