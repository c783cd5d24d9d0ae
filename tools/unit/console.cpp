#include "console.h"

#include <cstdio>

namespace console {

namespace {
bool quietMode = false;

void writeLine(const QByteArray& line) {
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
} // namespace

QByteArray escaped(const QByteArray& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7f) {
            out += c;
        } else {
            out += "\\x";
            out += digits[b >> 4];
            out += digits[b & 0x0f];
        }
    }
    return out;
}

void setQuiet(bool quiet) {
    quietMode = quiet;
}

void status(const QByteArray& line) {
    writeLine(line);
}

void traffic(const char* prefix, const QByteArray& bytes) {
    if (quietMode)
        return;
    writeLine(QByteArray(prefix) + escaped(bytes));
}

void error(const QString& message) {
    std::fprintf(stderr, "quorlane-unit: %s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace console
