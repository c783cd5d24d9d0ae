// The soak: half an hour of the unit's time, compressed.
//
//   bench_soak [--polls N] [--interval MS] [--unit PATH]
//
// quorlane-unit (PATH, default: beside the build's bench folder) runs as a process of its
// own in a scratch home, on a pseudo-terminal linked as COM 5 and a listener on
// 127.0.0.1. The main window is built as the tests build it (a scratch QUORLANE_HOME,
// COM 5 linked to the unit's pseudo-terminal, a real socket, the real clock). It takes
// the unit's address from the serial greeting, connects to 127.0.0.1, switches polling
// on and lets Timer1 tick every MS milliseconds (10 unless given) until N commands
// (1800 unless given: 30 minutes at the real one a second) have gone out.
//
// At the end it checks that
// - the log file is exactly what the TCP/IP path writes for the chunks that arrived
//   (each one print line), and the box shows the log;
// - those chunks, joined, are byte for byte the answers the unit reports having sent;
// - they hold N readings, in the polling order, with consecutive sequence numbers;
// - no error was reported;
// - the resident memory grew, from after a warm-up to the end, by no more than holding
//   the log costs: the box keeps the log's text and an index of its lines (a position
//   per line in the text, and one per row on screen), each with room to grow to twice
//   its size, plus 512 kB for the allocator. With this unit's short lines (every chunk
//   is a line, and a print line adds an empty one) that is about three times the log's
//   bytes; anything kept per poll beyond the data shows up as growth past it.
// The last line is the verdict: "soak: PASS ..." (exit 0) or "soak: FAIL ..." (exit 1).
// Everything it starts binds or connects to 127.0.0.1 only, and it stops by itself.

#include "platform/base/process.h"
#include "platform/link/socketcontrol.h"
#include "platform/widgets/controls.h"
#include "platform/widgets/richtextbox.h"
#include "shared/vocabulary.h"
#include "support/appharness.h"
#include "support/testutil.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

// What holding a log costs the box: its bytes, and a position in the text and a row on
// screen for each line; twice that, as either may have grown by doubling, plus some
// room for the allocator.
qint64 holdingKb(const QByteArray& log) {
    const qint64 lines = log.count('\n') + 1;
    return (2 * (log.size() + lines * 2 * qint64(sizeof(std::int64_t)))) / 1024 + 512;
}

qint64 residentKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

bool waitUntil(const std::function<bool()>& done, int ms) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Undoes the unit's printing of bytes: "\\" is a backslash, "\xHH" a byte.
QByteArray unescaped(const QByteArray& text) {
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            out += char(text.mid(i + 2, 2).toInt(nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

int verdict(bool pass, const QString& text) {
    std::printf("soak: %s %s\n", pass ? "PASS" : "FAIL", qPrintable(text));
    std::fflush(stdout);
    return pass ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QUORLANE_LOOPBACK_ONLY", "1");
    prepareProcess();
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.addOptions({{"polls", "Commands to send (default 1800).", "n", "1800"},
                       {"interval", "Timer1's interval in ms (default 10).", "ms", "10"},
                       {"unit", "The quorlane-unit executable.", "path",
                        QCoreApplication::applicationDirPath() + "/../quorlane-unit"}});
    parser.addHelpOption();
    parser.process(app);
    const int polls = parser.value("polls").toInt();
    const int interval = parser.value("interval").toInt();
    if (polls < 12 || interval < 1)
        return verdict(false, QStringLiteral("--polls must be at least 12, --interval at least 1"));

    // The unit. Its account of the traffic goes to a file, so that it takes none of
    // this process's memory.
    QTemporaryDir unitHome;
    const QString unitLog = unitHome.filePath(QStringLiteral("traffic.txt"));
    QProcess unit;
    unit.setProgram(parser.value("unit"));
    unit.setArguments({"--home", unitHome.path(), "--com", "5", "--tcp-port", "0"});
    unit.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    unit.setStandardOutputFile(unitLog);
    unit.start();
    if (!unit.waitForStarted(5000))
        return verdict(false, "quorlane-unit did not start: " + parser.value("unit"));
    auto unitOutput = [&] {
        QFile f(unitLog);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    waitUntil([&] { return unitOutput().contains('\n'); }, 5000);
    const QByteArray first = unitOutput();
    static const QRegularExpression ready(
        QStringLiteral("^ready serial=(\\S+) link=\\S+ tcp=127\\.0\\.0\\.1:([0-9]+)$"));
    const auto m = ready.match(QString::fromLocal8Bit(first.left(first.indexOf('\n'))));
    if (!m.hasMatch())
        return verdict(false, "quorlane-unit is not ready: " + QString::fromLocal8Bit(first));

    // The window, greeted by the unit over serial.
    AppHarness::Options o;
    o.leaveCom5 = true;
    o.recordingSocket = false;
    o.remotePort = static_cast<std::uint16_t>(m.captured(2).toUInt());
    const QString device = m.captured(1);
    o.beforeStart = [&](ScratchHome& home) { home.linkCom(5, device); };
    AppHarness harness(o);
    frmQuorlaneTest& w = harness.window();
    if (!waitUntil([&] { return w.txtTcp1->Text() == "127" && w.txtTcp4->Text() == "1"; }, 5000))
        return verdict(false, QStringLiteral("no address answer over serial"));

    // Everything the socket hands over from here on, in order.
    QList<std::int32_t> chunks;
    QObject::connect(w.Winsock1, &SocketControl::DataArrival, &app,
                     [&](std::int32_t n) { chunks << n; });
    const QByteArray prefix = harness.logBytes();
    w.btnConnect[0]->click();
    if (w.tcpConnected != True)
        return verdict(false, QStringLiteral("the connect failed"));

    int sent = 0;
    qint64 baselineKb = -1;
    const int warmUp = std::max(12, polls / 10);
    QElapsedTimer elapsed;
    elapsed.start();
    QObject::connect(w.Timer1, &QTimer::timeout, &app, [&] {
        // Runs after the window's tick: a tick that found polling on sent one command.
        if (w.pollingOn != True || w.tcpConnected != True)
            return;
        if (++sent == warmUp)
            baselineKb = residentKb();
        if (sent == polls)
            w.btnTest[vocabulary::PollingSwitch]->click();
    });
    w.Timer1->setInterval(interval);
    w.btnTest[vocabulary::PollingSwitch]->click();

    static const QRegularExpression reading(
        QStringLiteral("^(rdp|rsp|rco|rci|rlt|rct) #([0-9]{6,}) "));
    // The readings are numbered from 1 and only polling asks for them: the last one
    // carries the number `polls`.
    const QByteArray last = QStringLiteral(" #%1 ").arg(polls, 6, 10, QLatin1Char('0')).toLatin1();
    const int budgetMs = 60000 + polls * (interval + 50);
    const bool done = waitUntil(
        [&] { return sent >= polls && w.rtfReceive->tail(200).contains(last); }, budgetMs);
    waitUntil([] { return false; }, 300); // the last chunk's handling
    const double seconds = elapsed.elapsed() / 1000.0;
    const qint64 finalKb = residentKb();
    unit.terminate();
    unit.waitForFinished(3000);
    const QByteArray unitOut = unitOutput();

    QStringList failures;
    if (!done)
        failures << QStringLiteral("timed out after %1 s with %2 of %3 commands sent")
                        .arg(seconds)
                        .arg(sent)
                        .arg(polls);
    // The log: the prefix, then each chunk as one print line.
    const QByteArray file = harness.logBytes();
    QByteArray stream, expectedFile = prefix;
    qsizetype at = prefix.size();
    bool shaped = file.startsWith(prefix);
    for (const std::int32_t n : std::as_const(chunks)) {
        if (!shaped)
            break;
        const QByteArray chunk = file.mid(at, n);
        stream += chunk;
        expectedFile += chunk + "\r\n";
        at += n + 2;
    }
    if (!shaped || file != expectedFile)
        failures << QStringLiteral("the log is not the chunks that arrived, one line each");
    if (w.rtfReceive->Text() != asBoxText(file))
        failures << QStringLiteral("the box does not show the log");
    // The unit's own account of what it sent.
    QByteArray answers;
    int commands = 0;
    for (const QByteArray& line : unitOut.split('\n')) {
        if (line.startsWith("tcp> "))
            answers += unescaped(line.mid(5)) + "\r\n";
        if (line.startsWith("tcp< "))
            ++commands;
    }
    if (stream != answers)
        failures << QStringLiteral("received %1 bytes, the unit sent %2")
                        .arg(stream.size())
                        .arg(answers.size());
    // The readings: the polling order, consecutive numbers.
    int readings = 0;
    qint64 previous = -1;
    for (const QByteArray& line : stream.split('\n')) {
        const auto r = reading.match(QString::fromLatin1(line));
        if (!r.hasMatch())
            continue;
        const QString expected = vocabulary::word(vocabulary::PollingCycle[readings % 6]);
        const qint64 number = r.captured(2).toLongLong();
        if (r.captured(1) != expected || (previous >= 0 && number != previous + 1)) {
            failures << QStringLiteral("reading %1 is \"%2\"")
                            .arg(readings + 1)
                            .arg(QString::fromLatin1(line.trimmed()));
            break;
        }
        previous = number;
        ++readings;
    }
    if (readings != polls || commands != polls + 1)
        failures << QStringLiteral("%1 commands sent, the unit got %2 and answered %3 readings")
                        .arg(polls)
                        .arg(commands - 1)
                        .arg(readings);
    if (!harness.messages->texts.isEmpty())
        failures << QStringLiteral("%1 error reports, the first: %2")
                        .arg(harness.messages->texts.size())
                        .arg(harness.messages->texts.first().replace("\r\n", " / "));
    const qint64 growthKb = finalKb - baselineKb;
    const qint64 limitKb = holdingKb(file);
    if (baselineKb < 0 || growthKb > limitKb)
        failures << QStringLiteral("resident memory grew by %1 kB, more than %2 kB")
                        .arg(growthKb)
                        .arg(limitKb);

    std::printf("polls %d, readings %d in %lld chunks, log %lld bytes, %.1f s, rss %lld kB -> "
                "%lld kB\n",
                polls, readings, qint64(chunks.size()), qint64(file.size()), seconds, baselineKb,
                finalKb);
    if (!failures.isEmpty())
        return verdict(false, failures.join(QStringLiteral("; ")));
    return verdict(true, QStringLiteral("%1 polls (%2 min of unit time) in %3 s: every reading "
                                        "logged in order; memory +%4 kB (limit %5 kB), log %6 kB")
                             .arg(polls)
                             .arg(polls / 60.0, 0, 'f', 1)
                             .arg(seconds, 0, 'f', 1)
                             .arg(growthKb)
                             .arg(limitKb)
                             .arg(file.size() / 1024));
}
