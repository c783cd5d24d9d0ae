#include "options.h"

#include "platform/base/paths.h"

#include <QCommandLineParser>
#include <QDir>
#include <QRegularExpression>

#include <cstdio>

namespace {

void complain(const QString& message) {
    std::fprintf(stderr, "quorlane-unit: %s\n", qPrintable(message));
    std::fflush(stderr);
}

bool readNumber(const QCommandLineParser& parser, const QString& name, qint64 low, qint64 high,
                qint64& value) {
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const qint64 number = parser.value(name).trimmed().toLongLong(&ok);
    if (!ok || number < low || number > high) {
        complain(QString("--%1 wants a whole number from %2 to %3, not '%4'")
                     .arg(name)
                     .arg(low)
                     .arg(high)
                     .arg(parser.value(name)));
        return false;
    }
    value = number;
    return true;
}

bool readInt(const QCommandLineParser& parser, const QString& name, int low, int high, int& value) {
    qint64 wide = value;
    if (!readNumber(parser, name, low, high, wide))
        return false;
    value = static_cast<int>(wide);
    return true;
}

bool isDottedQuad(const QString& text) {
    static const QRegularExpression form(
        QStringLiteral("^([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return false;
    for (int i = 1; i <= 4; ++i) {
        if (match.captured(i).toInt() > 255)
            return false;
    }
    return true;
}

} // namespace

bool parseUnitOptions(const QStringList& arguments, UnitOptions& options) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Stand-in for the controller unit that Quorlane talks to.\n"
        "\n"
        "Serial: opens a pseudo-terminal (raw, 19200 baud) and links\n"
        "<home>/dosdevices/com<N> to its device; lines end in CR, LF or CR LF.\n"
        "TCP: listens on 127.0.0.1 only; commands come without a terminator and are\n"
        "taken as known words from the front of what has arrived (rip rdp rsp rco rci\n"
        "rlt rct ?r ?w vux8052 v q); a CR or LF ends a command, and any other\n"
        "leftover counts as one command after 50 ms without a new byte.\n"
        "Every answer line ends in CR LF; readings carry a running sequence number.\n"
        "\n"
        "Standard output: 'ready serial=<device> link=<link> tcp=127.0.0.1:<port>',\n"
        "then 'serial< <command>', 'serial> <answer>', 'tcp open <peer>', 'tcp< <command>',\n"
        "'tcp> <answer>', 'tcp closed <peer>' (bytes outside printable ASCII as \\xHH,\n"
        "a backslash as \\\\), and 'stop <signal>' at the end.\n"
        "Exit codes: 0 done, 1 bad option or set-up failure, 2 dosdevices/com<N> is not\n"
        "a symbolic link, 3 TCP port cannot be bound.");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {"home",
         "Root of the Windows-style world (default $QUORLANE_HOME, else "
         "$XDG_DATA_HOME/quorlane, else ~/.local/share/quorlane).",
         "dir"},
        {"com", "Serial port number N: the link is <home>/dosdevices/com<N> (default 5).", "n"},
        {"no-serial", "No pseudo-terminal and no link."},
        {"tcp-port",
         "TCP port to listen on, on 127.0.0.1 (default 23; 0 = any free port). Port 23 "
         "needs root or a user+network namespace (unshare -rn).",
         "port"},
        {"no-tcp", "No TCP listener."},
        {"address", "Address that 'rip' reports (default 127.0.0.1). Nothing connects there.",
         "a.b.c.d"},
        {"silent", "Receive and print commands, never answer."},
        {"close-after", "Close a TCP connection once it has answered N commands (0 = never).", "n"},
        {"chunk", "Write every answer in pieces of N bytes (default 0 = whole).", "n"},
        {"chunk-delay", "Milliseconds between two pieces with --chunk (default 20).", "ms"},
        {"quiet", "Do not print the traffic (the ready and stop lines are still printed)."},
        {"seq-start", "Sequence number of the first reading (default 1).", "n"},
    });
    parser.process(arguments);

    if (!parser.positionalArguments().isEmpty()) {
        complain("unexpected argument '" + parser.positionalArguments().first() + "' (see --help)");
        return false;
    }

    options.home = parser.isSet("home") ? parser.value("home") : paths::quorlaneHome();
    if (options.home.isEmpty()) {
        complain(parser.isSet("home")
                     ? QStringLiteral("--home must not be empty")
                     : "no home folder: " + paths::homeMissing() + "; give --home");
        return false;
    }
    options.home = QDir(options.home).absolutePath();
    options.serial = !parser.isSet("no-serial");
    options.tcp = !parser.isSet("no-tcp");
    options.silent = parser.isSet("silent");
    options.quiet = parser.isSet("quiet");
    if (!readInt(parser, "com", 1, 255, options.com) ||
        !readInt(parser, "tcp-port", 0, 65535, options.tcpPort) ||
        !readInt(parser, "close-after", 0, 1000000, options.closeAfter) ||
        !readInt(parser, "chunk", 0, 1000000, options.chunk) ||
        !readInt(parser, "chunk-delay", 0, 10000, options.chunkDelayMs) ||
        !readNumber(parser, "seq-start", 0, 999999999, options.seqStart))
        return false;
    if (parser.isSet("address")) {
        options.address = parser.value("address").trimmed();
        if (!isDottedQuad(options.address)) {
            complain("--address wants four numbers 0-255 separated by dots, not '" +
                     parser.value("address") + "'");
            return false;
        }
    }
    if (!options.serial && !options.tcp) {
        complain("--no-serial and --no-tcp together leave nothing to do");
        return false;
    }
    return true;
}
