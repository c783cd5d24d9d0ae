#include "answerwriter.h"

#include <utility>

AnswerWriter::AnswerWriter(int chunk, int delayMs, Sink sink, QObject* parent)
    : QObject(parent), m_chunk(chunk), m_sink(std::move(sink)) {
    m_timer.setInterval(delayMs);
    connect(&m_timer, &QTimer::timeout, this, &AnswerWriter::writePiece);
}

void AnswerWriter::write(const QByteArray& bytes) {
    if (bytes.isEmpty())
        return;
    if (m_chunk <= 0) {
        m_sink(bytes);
        return;
    }
    m_pending += bytes;
    if (!m_timer.isActive()) {
        writePiece();
    }
}

void AnswerWriter::discard() {
    m_pending.clear();
    m_timer.stop();
}

void AnswerWriter::writePiece() {
    if (m_pending.isEmpty()) {
        // One full pause has passed since the last piece; the next answer may start at once.
        m_timer.stop();
        return;
    }
    const QByteArray piece = m_pending.left(m_chunk);
    m_pending.remove(0, piece.size());
    // Keep ticking one more interval after the last piece, so that the first piece of
    // the next answer also keeps its distance.
    if (!m_timer.isActive())
        m_timer.start();
    m_sink(piece);
    if (m_pending.isEmpty())
        emit drained();
}
