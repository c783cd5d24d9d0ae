#pragma once

#include <QByteArray>
#include <QString>

// Standard output of quorlane-unit: one line per event, flushed at once, so that a
// script reading the pipe sees each line as it happens.
namespace console {

// Printable ASCII stays as it is, a backslash becomes \\ and every other byte \xHH.
QByteArray escaped(const QByteArray& bytes);

// Switches traffic lines off (--quiet); status lines are still printed.
void setQuiet(bool quiet);

// A status line (ready, stop): always printed.
void status(const QByteArray& line);
// A traffic line: "<prefix><escaped bytes>".
void traffic(const char* prefix, const QByteArray& bytes);
// A message on stderr, prefixed with the program's name.
void error(const QString& message);

} // namespace console
