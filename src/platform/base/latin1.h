#pragma once

#include <QByteArray>
#include <QString>

// Text becomes bytes one character per byte, on both links and in every file. A
// character that has no byte (anything above U+00FF; a surrogate pair counts as one
// character) becomes '?'. Bytes 0x00 to 0xFF come back as the characters U+0000 to
// U+00FF (QString::fromLatin1).
inline QByteArray toLatin1Bytes(const QString& text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c <= 0xFF) {
            bytes.append(static_cast<char>(c));
            continue;
        }
        bytes.append('?');
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() &&
            QChar::isLowSurrogate(text.at(i + 1).unicode()))
            ++i;
    }
    return bytes;
}
