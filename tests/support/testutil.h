#pragma once

// Small helpers that several suites share.

#include <QByteArray>
#include <QString>

#include <sys/resource.h>

// Every byte value once, 0x00 to 0xFF in order.
inline QByteArray allBytes() {
    QByteArray b;
    for (int c = 0; c < 256; ++c)
        b.append(char(c));
    return b;
}

// The same as characters U+0000 to U+00FF.
inline QString allLatin1() {
    return QString::fromLatin1(allBytes());
}

// Processor time (user and system) this process has used so far, in seconds.
inline double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
