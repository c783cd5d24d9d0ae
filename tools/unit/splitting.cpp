#include "splitting.h"

#include "responder.h"

QList<QByteArray> LineSplitter::feed(const QByteArray& bytes) {
    QList<QByteArray> lines;
    for (const char c : bytes) {
        if (c == '\n' && m_afterCr) {
            m_afterCr = false; // second half of a CR LF pair
            continue;
        }
        m_afterCr = (c == '\r');
        if (c == '\r' || c == '\n') {
            lines.append(m_partial);
            m_partial.clear();
            continue;
        }
        m_partial += c;
        if (m_partial.size() >= maxLine) {
            lines.append(m_partial);
            m_partial.clear();
        }
    }
    return lines;
}

namespace {

bool couldGrowIntoLongerWord(const QByteArray& buffer) {
    for (const QByteArray& word : Responder::knownWords()) {
        if (word.size() > buffer.size() && word.startsWith(buffer))
            return true;
    }
    return false;
}

// The longest known word the buffer starts with, or an empty array.
QByteArray leadingWord(const QByteArray& buffer) {
    QByteArray best;
    for (const QByteArray& word : Responder::knownWords()) {
        if (word.size() > best.size() && buffer.startsWith(word))
            best = word;
    }
    return best;
}

} // namespace

QList<QByteArray> takeTcpCommands(QByteArray& buffer, bool idle) {
    QList<QByteArray> commands;
    qsizetype pos = 0;
    while (pos < buffer.size()) {
        const QByteArray rest = buffer.mid(pos);
        if (!idle && couldGrowIntoLongerWord(rest))
            break;
        const QByteArray word = leadingWord(rest);
        if (!word.isEmpty()) {
            commands.append(word);
            pos += word.size();
            continue;
        }
        qsizetype end = -1;
        for (qsizetype i = 0; i < rest.size(); ++i) {
            if (rest[i] == '\r' || rest[i] == '\n') {
                end = i;
                break;
            }
        }
        if (end >= 0) {
            if (end > 0)
                commands.append(rest.left(end));
            pos += end + 1;
            continue;
        }
        if (idle || rest.size() >= LineSplitter::maxLine) {
            commands.append(rest);
            pos = buffer.size();
        }
        break;
    }
    buffer.remove(0, pos);
    return commands;
}
