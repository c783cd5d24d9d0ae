// End to end with quorlane-unit, the stand-in for the controller unit, as a process of
// its own: start-up greeting over serial, the address answer, connect, polling.
//
// How the unit is started: QProcess runs QUORLANE_UNIT_EXE (the quorlane-unit target,
// passed in as a compile definition) with
//     --home <a scratch folder of its own> --com 5 --tcp-port 0
// and the test waits for its first output line,
//     ready serial=<pseudo-terminal> link=<home>/dosdevices/com5 tcp=127.0.0.1:<port>
// The window is then built by AppHarness with `leaveCom5` (the harness links nothing
// itself); before the window loads, the harness's dosdevices/com5 is linked to the
// unit's pseudo-terminal, and the window's real socket gets the unit's port as its
// remote port. The unit binds 127.0.0.1 only and answers "rip" with "IP: 127.0.0.1.", so
// nothing leaves the machine; QUORLANE_LOOPBACK_ONLY is set here as well. The unit is
// killed at the end of each test, and gets SIGTERM should the test process die first.
//
// The program itself, build/quorlane, is started only in a scratch QUORLANE_HOME whose
// COM 5 is a pseudo-terminal the test holds, with QUORLANE_LOOPBACK_ONLY=1: ended by a
// signal, it closes the way its window does.

#include "commands/commands.h"
#include "platform/base/portlock.h"
#include "platform/link/serialcontrol.h"
#include "platform/widgets/controls.h"
#include "platform/widgets/richtextbox.h"
#include "support/appharness.h"
#include "support/testutil.h"
#include "tcp/tcplink.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/prctl.h>

namespace {

class Unit {
public:
    ~Unit() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(3000);
        }
    }

    bool start() {
        process_.setProgram(QStringLiteral(QUORLANE_UNIT_EXE));
        process_.setArguments({QStringLiteral("--home"), home_.path(), QStringLiteral("--com"),
                               QStringLiteral("5"), QStringLiteral("--tcp-port"),
                               QStringLiteral("0")});
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Should this test die, the unit goes with it.
        process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process_.start();
        if (!process_.waitForStarted(5000))
            return false;
        while (!out_.contains('\n')) {
            if (!process_.waitForReadyRead(5000))
                return false;
            out_ += process_.readAllStandardOutput();
        }
        static const QRegularExpression ready(
            QStringLiteral("^ready serial=(\\S+) link=\\S+ tcp=127\\.0\\.0\\.1:([0-9]+)$"));
        const auto m = ready.match(QString::fromLocal8Bit(out_.left(out_.indexOf('\n'))));
        device = m.captured(1);
        port = static_cast<std::uint16_t>(m.captured(2).toUInt());
        return m.hasMatch() && port != 0;
    }
    // The commands the unit reports receiving over TCP/IP, in order.
    QList<QByteArray> tcpCommands() {
        out_ += process_.readAllStandardOutput();
        QList<QByteArray> out;
        for (QByteArray line : out_.split('\n'))
            if (line.startsWith("tcp< "))
                out << line.mid(5).trimmed();
        return out;
    }

    QString device;
    std::uint16_t port = 0;

private:
    QTemporaryDir home_;
    QProcess process_;
    QByteArray out_;
};

struct Reading {
    QByteArray word;
    qint64 sequence;
};

QList<Reading> readings(const QByteArray& log) {
    static const QRegularExpression form(
        QStringLiteral("^(rdp|rsp|rco|rci|rlt|rct) #([0-9]{6,}) [A-Za-z0-9 ]+ -?[0-9.]+ \\S+$"));
    QList<Reading> out;
    for (const QByteArray& line : log.split('\n')) {
        const auto m = form.match(QString::fromLatin1(line.trimmed()));
        if (m.hasMatch())
            out << Reading{m.captured(1).toLatin1(), m.captured(2).toLongLong()};
    }
    return out;
}

} // namespace

class EndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("QUORLANE_LOOPBACK_ONLY", "1"); }
    void addressAnswerConnectAndPolling();
    void programEndsOnSignal_data();
    void programEndsOnSignal();
};

void EndToEndTest::addressAnswerConnectAndPolling() {
    Unit unit;
    QVERIFY(unit.start());
    AppHarness::Options o;
    o.leaveCom5 = true;
    o.recordingSocket = false;
    o.remotePort = unit.port;
    o.beforeStart = [&](ScratchHome& home) { home.linkCom(5, unit.device); };
    AppHarness app(o);
    auto& w = app.window();
    QCOMPARE(w.lblConnect[2]->text(), QStringLiteral("Connect to com 5"));

    // The greeting's answer over serial puts the unit's address into the boxes.
    QTRY_COMPARE_WITH_TIMEOUT(w.txtTcp1->Text(), QStringLiteral("127"), 5000);
    QCOMPARE(w.txtTcp2->Text(), QStringLiteral("0"));
    QCOMPARE(w.txtTcp3->Text(), QStringLiteral("0"));
    QTRY_COMPARE_WITH_TIMEOUT(w.txtTcp4->Text(), QStringLiteral("1"), 3000);
    QVERIFY(app.logBytes().contains("IP: 127.0.0.1.\r\n"));

    // A command button over serial; the unit's answer lands in the log.
    w.commands().btnTest_Click(3);
    QTRY_VERIFY_WITH_TIMEOUT(app.logBytes().contains("v: firmware"), 3000);

    // Connect (two seconds' wait, then "rip" over TCP/IP) and poll for about ten seconds.
    w.btnConnect_Click(0);
    QCOMPARE(w.tcpConnected, True);
    QCOMPARE(w.remoteAddress, QStringLiteral("127.0.0.1"));
    QVERIFY(w.txtSend->Visible());
    QTRY_VERIFY_WITH_TIMEOUT(app.logBytes().count("IP: 127.0.0.1.") == 2, 3000);
    w.commands().btnTest_Click(5);
    QTRY_VERIFY_WITH_TIMEOUT(readings(app.logBytes()).size() >= 10, 13000);
    w.commands().btnTest_Click(5);
    // An answer may still be on its way: a "v" sent after the polling is answered after
    // it, so once that answer is in the log every reading is.
    w.tcpLink().SendTcp(QStringLiteral("v"));
    QTRY_VERIFY_WITH_TIMEOUT(app.logBytes().count("v: firmware") == 2, 5000);

    const QList<Reading> got = readings(app.logBytes());
    QVERIFY(got.size() >= 10);
    static const QByteArray cycle[] = {"rdp", "rsp", "rco", "rci", "rlt", "rct"};
    QString trail;
    for (int i = 0; i < got.size(); ++i) {
        trail += QString::fromLatin1(got[i].word) + QLatin1Char(' ');
        QVERIFY2(got[i].word == cycle[i % 6], qPrintable(trail));
        QVERIFY2(got[i].sequence == got[0].sequence + i, qPrintable(trail));
    }
    // The unit got bare words, one each, in the same order.
    QTRY_COMPARE_WITH_TIMEOUT(unit.tcpCommands().size(), got.size() + 2, 5000);
    const QList<QByteArray> commands = unit.tcpCommands();
    QCOMPARE(commands.first(), QByteArray("rip"));
    QCOMPARE(commands.last(), QByteArray("v"));
    // The box shows the log, caret at the end.
    QCOMPARE(w.rtfReceive->Text(), QString::fromLatin1(app.logBytes()));
    QCOMPARE(w.rtfReceive->SelStart(), w.rtfReceive->Text().size());
    QCOMPARE(w.lblConnect[0]->text(), QStringLiteral("Connect To TCP/IP: 127.0.0.1"));
    QCOMPARE(w.lblConnect[4]->text(), QStringLiteral("TCP/IP Port Active"));
    QVERIFY2(app.messages->texts.isEmpty(), qPrintable(app.messages->texts.join('\n')));
}

void EndToEndTest::programEndsOnSignal_data() {
    QTest::addColumn<int>("signal");
    // COM 5 missing: the start-up's TCP/IP fallback is refused (loopback only) and its
    // error report is open when the signal is handled.
    QTest::addColumn<bool>("reportOpen");
    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGHUP") << int(SIGHUP) << false;
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    QTest::newRow("SIGTERM, report open") << int(SIGTERM) << true;
}

void EndToEndTest::programEndsOnSignal() {
    QFETCH(int, signal);
    QFETCH(bool, reportOpen);
    ScratchHome home;
    PtyPeer com5;
    if (reportOpen)
        QVERIFY(!home.linkMissing(5).isEmpty());
    else
        QVERIFY(com5.linkAs(home, 5));
    QProcess program;
    QProcessEnvironment env = home.programEnvironment(QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.setChildProcessModifier([] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // As from a terminal, also when the tests run as a background job (which ignores
        // SIGINT, and the program keeps what it was started to ignore).
        for (const int s : {SIGTERM, SIGHUP, SIGINT})
            ::signal(s, SIG_DFL);
    });
    program.start(QStringLiteral(QUORLANE_BINARY_DIR "/quorlane"), {});
    QVERIFY(program.waitForStarted(5000));
    struct Reaper {
        QProcess& p;
        ~Reaper() {
            if (p.state() != QProcess::NotRunning) {
                p.kill();
                p.waitForFinished(3000);
            }
        }
    } reaper{program};

    const QString logPath = home.path() + QStringLiteral("/drive_c/ZEL.txt");
    if (reportOpen) {
        // The log is made after the signals are caught and before the report opens.
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(logPath); }, 10000));
        QVERIFY(::kill(pid_t(program.processId()), signal) == 0);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        return;
    }
    // Up, with the port open and its lock file made.
    QCOMPARE(com5.waitFor(5, 10000), QByteArray("rip\r\n"));
    const QString lock = portlock::lockFilePath(com5.slavePath());
    if (!lock.isEmpty())
        QVERIFY2(QFile::exists(lock), qPrintable(lock));

    // The unit answers, and the signal follows at once.
    const QByteArray answer = "rdp #000001 dew point -12.4 C\r\n";
    QVERIFY(com5.write(answer));
    QVERIFY(::kill(pid_t(program.processId()), signal) == 0);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    if (!lock.isEmpty())
        QVERIFY2(!QFile::exists(lock), qPrintable(lock));
    const QByteArray log = readFile(logPath);
    QVERIFY2(log.endsWith(answer), log.constData());
}

QTEST_MAIN(EndToEndTest)
#include "tst_end_to_end.moc"
