#pragma once

// Small helpers that several suites share.

#include <QAccessible>
#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QString>
#include <QStringList>

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

// The text the box shows for bytes (a file or a chunk): a CR LF, a lone CR and a lone
// LF each make one line break, written CR LF.
inline QString asBoxText(const QByteArray& bytes) {
    QString text = QString::fromLatin1(bytes);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    return text;
}

// What a screen reader announces a control by: the accessible object's name and
// description (the control's name in the program).
inline QString announcedName(QObject* control) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(control);
    return a ? a->text(QAccessible::Name) : QStringLiteral("<no accessible object>");
}
inline QString announcedDescription(QObject* control) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(control);
    return a ? a->text(QAccessible::Description) : QStringLiteral("<no accessible object>");
}

// Lets events run until every event and queued call posted before this call has been
// handled (a queued call posted now has run); false if that takes longer than `ms`.
// Something the program would do through the event queue has then been done.
inline bool handlePostedEvents(int ms = 3000) {
    bool ran = false;
    QObject context;
    QMetaObject::invokeMethod(
        &context, [&ran] { ran = true; }, Qt::QueuedConnection);
    const QDeadlineTimer deadline(ms);
    while (!ran && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    return ran;
}

// Processor time (user and system) this process has used so far, in seconds.
inline double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The whole file as it is on disk, or "<unreadable>" when it cannot be read.
inline QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Makes the file's folder if needed and writes `bytes` as the whole file; true when all
// of it was written.
inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}
