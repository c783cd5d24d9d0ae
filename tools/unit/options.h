#pragma once

#include <QString>
#include <QStringList>

// Everything the command line of quorlane-unit can set.
struct UnitOptions {
    QString home;                  // root of the Windows-style world (dosdevices lies here)
    int com = 5;                   // serial port number: <home>/dosdevices/com<N>
    bool serial = true;            // false with --no-serial
    int tcpPort = 23;              // 0 = any free port
    bool tcp = true;               // false with --no-tcp
    QString address = "127.0.0.1"; // what "rip" reports; nothing ever connects there
    bool silent = false;           // receive and print, never answer
    int closeAfter = 0;            // close a TCP connection after this many answers; 0 = never
    int chunk = 0;                 // write answers in pieces of this many bytes; 0 = whole
    int chunkDelayMs = 20;         // pause between two pieces
    bool quiet = false;            // no traffic lines on stdout
    qint64 seqStart = 1;           // first sequence number of a reading
};

// Exit codes of quorlane-unit.
enum UnitExit {
    ExitOk = 0,
    ExitUsage = 1,       // bad option value or a set-up step failed (openpty, mkdir ...)
    ExitLinkRefused = 2, // dosdevices/com<N> exists and is not a symbolic link
    ExitTcpBind = 3,     // the TCP port could not be bound
};

// Parses the command line. --help and --version print and exit the process (code 0).
// On a bad value the message goes to stderr and the function returns false.
bool parseUnitOptions(const QStringList& arguments, UnitOptions& options);
