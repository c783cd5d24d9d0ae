// The command buttons and the one-second timer: serial command lines, the polling
// switch, the status captions and the polling cycle against a real loopback server.
// Where timing is not the point the ticks are driven by calling Timer1_Timer directly,
// with the window's own timer unhooked; one test lets the real timer run. That nothing
// (more) was sent is checked with a marker sent through the same control afterwards:
// whatever the program had sent arrives before it. bench_timer measures the real
// timer's gaps.

#include "commands/commands.h"
#include "platform/base/clock.h"
#include "platform/link/serialcontrol.h"
#include "platform/link/socketcontrol.h"
#include "platform/widgets/controls.h"
#include "support/appharness.h"
#include "support/loopbackserver.h"
#include "support/testutil.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {

// The window's timer keeps running (an error report still stops and restarts it), but
// its ticks no longer reach the window: the test ticks by hand.
void unhookTimer(frmQuorlaneTest& w) {
    QObject::disconnect(w.Timer1, nullptr, &w, nullptr);
}

// A fast clock for the connect's two-second wait: it moves one second per reading, but
// only once the socket has connected (or five real seconds have passed), so the greeting
// goes out at once and still finds the connection up however busy the machine is.
class ConnectClock : public Clock {
public:
    std::int64_t nowSeconds() const override {
        if (ready && ready()) {
            waiting.invalidate();
            ++now;
        } else if (!waiting.isValid()) {
            waiting.start();
        } else if (waiting.hasExpired(5000)) {
            ++now;
        }
        return now;
    }
    std::function<bool()> ready;
    mutable std::int64_t now = 1'000'000;
    mutable QElapsedTimer waiting;
};

// A window whose real socket talks to `server`, connected to 127.0.0.1 ("rip" received).
struct Connected {
    LoopbackServer server;
    std::shared_ptr<ConnectClock> clock = std::make_shared<ConnectClock>();
    std::unique_ptr<AppHarness> app;

    explicit Connected(bool hookTimer = false) {
        AppHarness::Options o;
        o.recordingSocket = false;
        o.remotePort = server.port();
        o.clock = clock;
        app = std::make_unique<AppHarness>(o);
        clock->ready = [this] {
            return app->window().Winsock1->state() == SocketControl::State::Connected;
        };
        auto& w = app->window();
        if (!hookTimer)
            unhookTimer(w);
        w.txtTcp1->setText(QStringLiteral("127"));
        w.txtTcp2->setText(QStringLiteral("0"));
        w.txtTcp3->setText(QStringLiteral("0"));
        w.txtTcp4->setText(QStringLiteral("1"));
        w.btnConnect_Click(0);
    }
    bool ok() {
        return server.waitForBytes(3, 5000) && server.receivedTotal() == "rip" &&
               app->window().tcpConnected == True && app->messages->texts.isEmpty();
    }
    // One tick; returns what the server received from it.
    QByteArray tick() {
        const qsizetype before = server.received().size();
        app->window().commands().Timer1_Timer();
        return server.receivedBeforeMarker(*app->window().Winsock1).mid(before);
    }
};

} // namespace

class CommandsTest : public QObject {
    Q_OBJECT
private slots:
    void serialButtonSendsCaptionLine_data();
    void serialButtonSendsCaptionLine();
    void closedPortOpensWithLastNumber();
    void missingPortReportsOnceAndSendsNothing();
    void pollingSwitchFlipsFlagOnly();
    void captionsOnTick_data();
    void captionsOnTick();
    void pollingCycleOverLoopback();
    void failedPollReportsOncePerTick();
    void realTimerPollsOnceEachTick();
};

void CommandsTest::serialButtonSendsCaptionLine_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("?r") << 0 << QByteArray("?r\r\n");
    QTest::newRow("?w") << 1 << QByteArray("?w\r\n");
    QTest::newRow("vux8052") << 2 << QByteArray("vux8052\r\n");
    QTest::newRow("v") << 3 << QByteArray("v\r\n");
    QTest::newRow("q") << 4 << QByteArray("q\r\n");
}

void CommandsTest::serialButtonSendsCaptionLine() {
    QFETCH(int, index);
    QFETCH(QByteArray, bytes);
    AppHarness app;
    auto& w = app.window();
    unhookTimer(w);
    QCOMPARE(app.com5->waitFor(5, 3000), QByteArray("rip\r\n"));
    QCOMPARE(w.btnTest[index]->text().toLatin1() + "\r\n", bytes);
    QVERIFY(w.btnTest[index]->isHidden());

    w.commands().btnTest_Click(std::int16_t(index));
    QCOMPARE(app.com5->sentBeforeMarker(*w.MSComm1), bytes);
    QVERIFY(w.MSComm1->PortOpen());
    QCOMPARE(w.pollingOn, False);
    QVERIFY(app.socket->sent.isEmpty());
    QVERIFY(app.messages->texts.isEmpty());
}

void CommandsTest::closedPortOpensWithLastNumber() {
    PtyPeer com7;
    AppHarness app;
    auto& w = app.window();
    unhookTimer(w);
    QVERIFY(com7.linkAs(app.home, 7));
    QCOMPARE(app.com5->waitFor(5, 3000), QByteArray("rip\r\n"));

    w.MSComm1->setPortOpen(false);
    w.MSComm1->setCommPort(7);
    w.commands().btnTest_Click(4);
    QCOMPARE(com7.sentBeforeMarker(*w.MSComm1), QByteArray("q\r\n"));
    QVERIFY(w.MSComm1->PortOpen());
    QCOMPARE(w.MSComm1->CommPort(), std::int16_t(7));
    QCOMPARE(w.MSComm1->Settings(), QStringLiteral("19200,N,8,1"));
    // COM 5 was closed before: all it was ever sent has arrived.
    QCOMPARE(app.com5->readAvailable(), QByteArray());
    QVERIFY(app.messages->texts.isEmpty());
}

void CommandsTest::missingPortReportsOnceAndSendsNothing() {
    AppHarness app;
    auto& w = app.window();
    unhookTimer(w);
    app.home.linkMissing(9);
    QCOMPARE(app.com5->waitFor(5, 3000), QByteArray("rip\r\n"));

    w.MSComm1->setPortOpen(false);
    w.MSComm1->setCommPort(9);
    w.commands().btnTest_Click(0);
    QCOMPARE(app.messages->texts.size(), 1);
    const QStringList lines = app.messages->texts[0].split(QStringLiteral("\r\n"));
    QCOMPARE(lines.size(), 5);
    QVERIFY(lines[2].startsWith(QStringLiteral("VB Source: MSComm1")));
    QCOMPARE(lines[3], QStringLiteral("App Source: frmQuorlaneTest"));
    QCOMPARE(lines[4], QStringLiteral("Active Control: btnTest_Click"));
    QVERIFY(!w.MSComm1->PortOpen());
    QCOMPARE(w.MSComm1->CommPort(), std::int16_t(9));
    // COM 5 was closed before: all it was ever sent has arrived.
    QCOMPARE(app.com5->readAvailable(), QByteArray());
    QCOMPARE(w.pollingOn, False);
}

void CommandsTest::pollingSwitchFlipsFlagOnly() {
    AppHarness app;
    auto& w = app.window();
    unhookTimer(w);
    QCOMPARE(app.com5->waitFor(5, 3000), QByteArray("rip\r\n"));
    const QString caption = QStringLiteral("Turn On Read rdp From TCP/IP");
    QCOMPARE(w.btnTest[5]->text(), caption);
    QVERIFY(w.btnTest[5]->isVisibleTo(&w));

    for (Flag expected : {True, False, True}) {
        w.btnTest[5]->click();
        QCOMPARE(w.pollingOn, expected);
        QCOMPARE(w.btnTest[5]->text(), caption);
    }
    // Indexes outside the array do nothing.
    w.commands().btnTest_Click(6);
    w.commands().btnTest_Click(-1);
    QCOMPARE(w.pollingOn, True);
    QCOMPARE(w.pollStep, std::int16_t(0));
    QCOMPARE(app.com5->sentBeforeMarker(*w.MSComm1), QByteArray());
    QVERIFY(app.socket->sent.isEmpty());
    QVERIFY(app.messages->texts.isEmpty());
}

void CommandsTest::captionsOnTick_data() {
    QTest::addColumn<bool>("tcpLine");
    QTest::addColumn<bool>("serialLine");
    QTest::addColumn<Flag>("connected");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("active");
    QTest::addColumn<QString>("status");
    const QString tcp = QStringLiteral("TCP/IP Port Active");
    const QString serial = QStringLiteral("Serial Port Active");
    const QString kept = QStringLiteral("earlier");
    const QString on = QStringLiteral("Connect To TCP/IP: ");
    const QString off = QStringLiteral("Disconnect from TCP/IP: ");
    const QString a = QStringLiteral("10.1.2.3");
    QTest::newRow("serial line, not connected") << false << true << False << a << serial << off + a;
    QTest::newRow("tcp line, connected") << true << false << True << a << tcp << on + a;
    QTest::newRow("both lines: tcp wins") << true << true << True << a << tcp << on + a;
    QTest::newRow("no line keeps caption") << false << false << True << a << kept << on + a;
    QTest::newRow("empty address, on") << true << false << True << QString() << tcp << on;
    QTest::newRow("empty address, off") << false << true << False << QString() << serial << off;
    QTest::newRow("1 is not True") << true << false << Flag(1) << a << tcp << off + a;
    // Whatever the unit reported as its address is shown as it came, never as markup.
    const QString markup = QStringLiteral("<b>1.2.3.<i>4");
    QTest::newRow("address with markup") << true << false << True << markup << tcp << on + markup;
}

void CommandsTest::captionsOnTick() {
    QFETCH(bool, tcpLine);
    QFETCH(bool, serialLine);
    QFETCH(Flag, connected);
    QFETCH(QString, address);
    QFETCH(QString, active);
    QFETCH(QString, status);
    AppHarness app;
    auto& w = app.window();
    unhookTimer(w);
    const QString serialStatus = w.lblConnect[2]->text();
    w.activeLink().set(QStringLiteral("earlier"));
    w.txtSend->setVisible(tcpLine);
    w.txtRS232Send->setVisible(serialLine);
    w.tcpConnected = connected;
    w.remoteAddress = address;
    w.pollingOn = True;

    w.commands().Timer1_Timer();
    // Each label shows its caption as plain text, and a screen reader announces it so.
    const QString expected[6] = {status, status, serialStatus, serialStatus, active, active};
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(w.lblConnect[i]->text(), expected[i]);
        QCOMPARE(announcedName(w.lblConnect[i]), expected[i]);
    }
    // The recording socket is not connected: a polled send fails and is reported.
    const bool polled = connected == True;
    QCOMPARE(w.pollStep, std::int16_t(polled ? 1 : 0));
    QCOMPARE(app.messages->texts.size(), polled ? 1 : 0);
}

void CommandsTest::pollingCycleOverLoopback() {
    Connected c;
    QVERIFY(c.ok());
    auto& w = c.app->window();

    // Off: ticks send nothing.
    QCOMPARE(c.tick(), QByteArray());
    w.commands().btnTest_Click(5);
    QCOMPARE(c.tick(), QByteArray("rdp"));
    w.txtSend->setText(QStringLiteral("half-typ"));
    QCOMPARE(c.tick(), QByteArray("rsp"));
    QCOMPARE(w.txtSend->Text(), QString()); // a polled send empties the line
    QCOMPARE(c.tick(), QByteArray("rco"));

    // Off after "rco": nothing goes out and the step stays.
    w.commands().btnTest_Click(5);
    QCOMPARE(c.tick(), QByteArray());
    QCOMPARE(c.tick(), QByteArray());
    QCOMPARE(w.pollStep, std::int16_t(3));
    w.commands().btnTest_Click(5);
    QCOMPARE(c.tick(), QByteArray("rci"));

    // On but not connected: nothing is sent (the closed connection's record below is
    // complete), the step is kept across the reconnect.
    w.btnConnect_Click(1);
    QCOMPARE(w.tcpConnected, False);
    w.commands().Timer1_Timer();
    QCOMPARE(w.pollStep, std::int16_t(4));
    QCOMPARE(w.lblConnect[0]->text(), QStringLiteral("Disconnect from TCP/IP: 127.0.0.1"));
    QCOMPARE(w.lblConnect[4]->text(), QStringLiteral("Serial Port Active"));
    w.btnConnect_Click(0);
    QVERIFY(c.server.waitForBytes(3 * 6, 5000));
    QCOMPARE(c.server.received(), QByteArray("rip"));
    for (const char* word : {"rlt", "rct", "rdp", "rsp"})
        QCOMPARE(c.tick(), QByteArray(word));
    QCOMPARE(w.pollStep, std::int16_t(2));
    QCOMPARE(c.server.connectionCount(), 2);
    QCOMPARE(c.server.openConnectionCount(), 1);
    QCOMPARE(c.server.received(0), QByteArray("riprdprsprcorci"));
    QCOMPARE(c.server.received(1), QByteArray("riprltrctrdprsp"));
    QCOMPARE(w.lblConnect[0]->text(), QStringLiteral("Connect To TCP/IP: 127.0.0.1"));
    QCOMPARE(w.lblConnect[1]->text(), QStringLiteral("Connect To TCP/IP: 127.0.0.1"));
    QCOMPARE(w.lblConnect[4]->text(), QStringLiteral("TCP/IP Port Active"));
    QCOMPARE(w.lblConnect[5]->text(), QStringLiteral("TCP/IP Port Active"));
    // The serial link saw none of it.
    QCOMPARE(c.app->com5->sentBeforeMarker(*w.MSComm1), QByteArray("rip\r\n"));
    QVERIFY(c.app->messages->texts.isEmpty());
}

void CommandsTest::failedPollReportsOncePerTick() {
    Connected c(/*hookTimer=*/true);
    QVERIFY(c.ok());
    auto& w = c.app->window();
    // The unit goes away; the link stays marked connected.
    c.server.closeClient();
    QTRY_VERIFY_WITH_TIMEOUT(w.Winsock1->state() != SocketControl::State::Connected, 3000);
    w.txtSend->setText(QStringLiteral("half"));
    w.commands().btnTest_Click(5);

    // While a report is open the timer rests: one report at a time, not a pile. (The
    // first report stays open past two ticks' time, so that a timer left running would
    // tick in it; the timer's state is what is checked.)
    int nestedTicks = 0;
    c.app->messages->whileOpen = [&](const QString&) {
        QVERIFY(!w.Timer1->isActive());
        if (c.app->messages->texts.size() == 1) {
            const std::int16_t step = w.pollStep;
            QTest::qWait(2300);
            nestedTicks = w.pollStep - step;
        }
    };
    QTRY_COMPARE_WITH_TIMEOUT(c.app->messages->texts.size(), 1, 2500);
    QCOMPARE(nestedTicks, 0);
    QCOMPARE(w.pollStep, std::int16_t(1));
    // Ticks resume after the report and every failed poll is reported once.
    QTRY_COMPARE_WITH_TIMEOUT(c.app->messages->texts.size(), 2, 2500);
    unhookTimer(w);
    QCOMPARE(w.pollStep, std::int16_t(2));
    for (std::int16_t step = 3; step <= 4; ++step) {
        w.commands().Timer1_Timer();
        QCOMPARE(c.app->messages->texts.size(), int(step));
        QCOMPARE(w.pollStep, step);
    }
    for (const QString& text : c.app->messages->texts)
        QVERIFY2(text.endsWith(QStringLiteral("Active Control: SendTcp")), qPrintable(text));
    // A failed send keeps the half-typed line and changes no link state.
    QCOMPARE(w.txtSend->Text(), QStringLiteral("half"));
    QCOMPARE(w.tcpConnected, True);
    QCOMPARE(w.pollingOn, True);
    QCOMPARE(c.server.receivedTotal(), QByteArray("rip"));
}

// The real timer polls: one command per tick, in the cycle's order, and nothing once
// polling is off. After each of the window's ticks the test sends a '|' through the same
// socket, so the server's record shows what each tick sent.
void CommandsTest::realTimerPollsOnceEachTick() {
    Connected c(/*hookTimer=*/true);
    QVERIFY(c.ok());
    auto& w = c.app->window();
    QCOMPARE(w.Timer1->interval(), 1000);
    QVERIFY(w.Timer1->isActive());
    int ticks = 0;
    QObject afterTheWindow; // connected after the window's own handler, so it runs later
    QObject::connect(w.Timer1, &QTimer::timeout, &afterTheWindow, [&] {
        ++ticks;
        w.Winsock1->SendData(QStringLiteral("|"));
    });
    // Waits until what `n` ticks sent has arrived.
    auto arrivedFromTicks = [&](int n) {
        return QTest::qWaitFor([&] { return c.server.received().count('|') >= n; }, 10000);
    };

    const int before = ticks; // ticks before polling is on send nothing
    w.commands().btnTest_Click(5);
    QVERIFY(arrivedFromTicks(before + 3));
    w.commands().btnTest_Click(5);
    const int off = ticks;
    QVERIFY(arrivedFromTicks(off + 2));
    QCOMPARE(w.pollingOn, False);

    const QByteArray record = c.server.received();
    QVERIFY2(record.startsWith("rip"), record.constData());
    const QList<QByteArray> perTick = record.mid(3).split('|');
    const QByteArray cycle[] = {"rdp", "rsp", "rco", "rci", "rlt", "rct"};
    for (int i = 0; i < off + 2; ++i) {
        const QByteArray expected = i >= before && i < off ? cycle[(i - before) % 6] : "";
        QVERIFY2(perTick[i] == expected, record.constData());
    }
    QCOMPARE(w.pollStep, std::int16_t((off - before) % 6));
    QCOMPARE(w.lblConnect[4]->text(), QStringLiteral("TCP/IP Port Active"));
    QCOMPARE(w.lblConnect[0]->text(), QStringLiteral("Connect To TCP/IP: 127.0.0.1"));
    QVERIFY(c.app->messages->texts.isEmpty());
}

QTEST_MAIN(CommandsTest)
#include "tst_commands.moc"
