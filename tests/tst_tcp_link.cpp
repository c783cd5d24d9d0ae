// The TCP/IP link through the main window, end to end against a stand-in for the unit on
// 127.0.0.1: connecting with the greeting after the wait, what runs inside the wait,
// disconnecting, changing the remote host, the failure path, typed lines and received
// chunks with the receive log.

#include "address/remoteaddress.h"
#include "help/helpwindows.h"
#include "platform/widgets/controls.h"
#include "platform/widgets/richtextbox.h"
#include "support/appharness.h"
#include "support/loopbackserver.h"
#include "support/testutil.h"
#include "tcp/tcplink.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {

using Options = AppHarness::Options;

Options realSocket(const LoopbackServer& server, std::shared_ptr<Clock> clock = {}) {
    Options o;
    o.recordingSocket = false;
    o.remotePort = server.port();
    o.fastClock = true;
    o.clock = std::move(clock);
    return o;
}

// Points the window at 127.0.0.1 and connects (fast clock); true once the server has the
// greeting and the window counts the link as up.
bool connectTo(AppHarness& app, LoopbackServer& server) {
    app->address().ParseIpAnswer(QStringLiteral("IP: 127.0.0.1."));
    const qsizetype before = server.receivedTotal().size();
    app->btnConnect[0]->click();
    return server.waitForConnection(5000) && server.waitForBytes(before + 3, 5000) &&
           app->tcpConnected == True;
}

// Runs `step` every 10 ms while the test is blocked in a handler, until it returns true.
// When nothing moves for 10 s the clock jumps far ahead, so a stuck wait ends and the
// test fails instead of hanging.
class WhileWaiting {
public:
    WhileWaiting(TestClock& clock, std::function<bool()> step) {
        elapsed_.start();
        QObject::connect(&timer_, &QTimer::timeout, [this, &clock, step = std::move(step)] {
            if (done)
                return;
            if (step()) {
                done = true;
            } else if (elapsed_.elapsed() > 10000) {
                clock.now += 1000;
                done = true;
                stuck = true;
            }
        });
        timer_.start(10);
    }
    bool done = false;
    bool stuck = false;

private:
    QTimer timer_;
    QElapsedTimer elapsed_;
};

QStringList boxes(frmQuorlaneTest& w) {
    return {w.txtTcp1->Text(), w.txtTcp2->Text(), w.txtTcp3->Text(), w.txtTcp4->Text()};
}

// The send lines as they are shown (+) and hidden (-), in that order.
struct SendLineSwitches : QObject {
    explicit SendLineSwitches(frmQuorlaneTest& w) {
        w.txtSend->installEventFilter(this);
        w.txtRS232Send->installEventFilter(this);
    }
    bool eventFilter(QObject* line, QEvent* e) override {
        if (e->type() == QEvent::ShowToParent || e->type() == QEvent::HideToParent)
            seen << (e->type() == QEvent::ShowToParent ? "+" : "-") + announcedDescription(line);
        return false;
    }
    QStringList take() { return std::exchange(seen, {}); }
    QStringList seen;
};
const QStringList toSerial = {"-txtSend", "+txtRS232Send"};

} // namespace

class TcpLinkTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("QUORLANE_LOOPBACK_ONLY", "1"); }
    void connectGreetsAfterTheWait();
    void nestedConnectClick_data();
    void nestedConnectClick();
    void disconnectReconnectAndChangeHost();
    void failedConnect_data();
    void failedConnect();
    void typedLinesGoOutBare();
    void chunksAreLoggedAndShown();
    void chunksSurviveAnUnwritableLog();
};

void TcpLinkTest::connectGreetsAfterTheWait() {
    LoopbackServer server;
    auto clock = std::make_shared<TestClock>();
    AppHarness app(realSocket(server, clock));
    auto& w = app.window();
    // Octets as received, leading zeros and all; then an incomplete answer changes the
    // stored octets but not the boxes, so the connect has something to write back.
    QCOMPARE(w.address().ParseIpAnswer(QStringLiteral("IP: 127.000.000.001.")), True);
    QCOMPARE(w.address().ParseIpAnswer(QStringLiteral("IP: 127.0.")), False);
    QCOMPARE(boxes(w), QStringList({"127", "000", "000", "001"}));

    // Inside the wait: the connection is there but nothing has been sent on it; data
    // from the unit is logged, a click opens a window, the timer ticks.
    int step = 0;
    QByteArray sentBeforeTheEnd = "?";
    WhileWaiting script(*clock, [&] {
        switch (step) {
        case 0:
            if (server.connectionCount() != 1 ||
                w.Winsock1->state() != SocketControl::State::Connected)
                return false;
            sentBeforeTheEnd = server.receivedBeforeMarker(*w.Winsock1);
            server.send("during the wait");
            ++step;
            return false;
        case 1:
            if (!app.logBytes().contains("during the wait"))
                return false;
            w.btnConnect[2]->click();
            ++step;
            return false;
        default:
            if (w.lblConnect[0]->text() != QStringLiteral("Disconnect from TCP/IP: 127.0.000.001"))
                return false;
            sentBeforeTheEnd += server.received();
            clock->now += 2;
            return true;
        }
    });
    w.btnConnect[0]->click();
    QVERIFY(!script.stuck);
    QCOMPARE(sentBeforeTheEnd, QByteArray());
    QVERIFY(w.helpWindows().serial() && w.helpWindows().serial()->isVisible());

    QCOMPARE(server.receivedBeforeMarker(*w.Winsock1), QByteArray("rip"));
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(w.tcpConnected, True);
    QVERIFY(w.txtSend->Visible());
    QVERIFY(!w.txtRS232Send->Visible());
    QCOMPARE(w.remoteAddress, QStringLiteral("127.0.000.001"));
    QCOMPARE(w.Winsock1->RemoteHost(), QStringLiteral("127.0.000.001"));
    QCOMPARE(boxes(w), QStringList({"127", "0", "000", "001"}));
    QVERIFY(app.messages->texts.isEmpty());
}

void TcpLinkTest::nestedConnectClick_data() {
    QTest::addColumn<int>("nested");
    QTest::addColumn<int>("reports");
    QTest::addColumn<QByteArray>("secondGot");
    QTest::addColumn<bool>("connected");
    // The socket refuses a second Connect: reported, closed; the outer greeting then
    // fails too.
    QTest::newRow("connect") << 0 << 2 << QByteArray() << false;
    // Change Remote Host closes and connects anew, waits its own wait and greets; the
    // outer sequence then greets the new connection once more.
    QTest::newRow("change host") << 3 << 0 << QByteArray("riprip") << true;
}

void TcpLinkTest::nestedConnectClick() {
    QFETCH(int, nested);
    LoopbackServer server;
    auto clock = std::make_shared<TestClock>();
    AppHarness app(realSocket(server, clock));
    auto& w = app.window();
    w.address().ParseIpAnswer(QStringLiteral("IP: 127.0.0.1."));

    WhileWaiting outer(*clock, [&] {
        if (server.connectionCount() != 1)
            return false;
        w.btnConnect[nested]->click(); // returns once its own wait, if any, is over
        clock->now += 2;
        return true;
    });
    WhileWaiting inner(*clock, [&] { // ends the wait of a nested connect sequence
        if (server.connectionCount() != 2)
            return false;
        clock->now += 2;
        return true;
    });
    w.btnConnect[0]->click();
    QVERIFY(!outer.stuck && !inner.stuck);

    QFETCH(int, reports);
    QFETCH(QByteArray, secondGot);
    QFETCH(bool, connected);
    // Once the server has seen the closed connections go, their records are complete;
    // the open one's is, up to a marker sent through it.
    QTRY_COMPARE_WITH_TIMEOUT(server.openConnectionCount(), connected ? 1 : 0, 5000);
    if (connected)
        QCOMPARE(server.receivedBeforeMarker(*w.Winsock1), secondGot);
    QCOMPARE(app.messages->texts.size(), reports);
    for (const QString& text : std::as_const(app.messages->texts))
        QVERIFY(text.endsWith(QStringLiteral("Active Control: btnConnect_Click")));
    QCOMPARE(server.received(0), QByteArray()); // the first connection never got a word
    QCOMPARE(server.received(1), secondGot);
    QCOMPARE(w.tcpConnected, connected ? True : False);
    QCOMPARE(server.openConnectionCount(), connected ? 1 : 0);
}

void TcpLinkTest::disconnectReconnectAndChangeHost() {
    LoopbackServer server;
    AppHarness app(realSocket(server));
    auto& w = app.window();
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    SendLineSwitches switches(w);

    // Disconnect when never connected.
    w.btnConnect[1]->click();
    QVERIFY(app.messages->texts.isEmpty());
    QVERIFY(w.txtRS232Send->Visible() && !w.txtSend->Visible());
    QCOMPARE(w.tcpConnected, False);

    // The keyboard follows the link from the button to the send line now shown, so what
    // is typed next goes to the unit instead of pressing Connect again.
    w.btnConnect[0]->setFocus();
    QVERIFY(connectTo(app, server));
    QCOMPARE(switches.take(), QStringList({"+txtSend", "-txtRS232Send"}));
    QCOMPARE(QApplication::focusWidget(), w.txtSend);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("rdp"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY(server.waitForBytes(6, 5000));
    QCOMPARE(server.received(0), QByteArray("riprdp"));
    QVERIFY(app.messages->texts.isEmpty());
    // Tab goes once round the controls, the receive box right after the TCP/IP send
    // line, and Shift+Tab once round the other way.
    QWidgetList order = {w.txtSend, w.rtfReceive->focusProxy(), w.btnSave[0], w.btnSave[1]};
    order << w.btnConnect[0] << w.btnConnect[1] << w.cmboCOMMPort << w.btnConnect[2]
          << w.btnConnect[4] << w.btnConnect[3] << w.txtTcp1 << w.txtTcp2 << w.txtTcp3 << w.txtTcp4
          << w.btnTest[5];
    for (const auto modifier : {Qt::NoModifier, Qt::ShiftModifier}) {
        for (qsizetype i = 1; i <= order.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, modifier);
            const qsizetype next = modifier == Qt::NoModifier ? i : order.size() - i;
            QCOMPARE(QApplication::focusWidget(), order[next % order.size()]);
        }
    }
    // Focus elsewhere stays where it is.
    w.rtfReceive->setFocus();

    // Change of remote host while connected: dropped and connected anew to the address
    // now in the boxes, greeted again.
    w.txtTcp2->setText(QStringLiteral("000"));
    QCOMPARE(w.remoteOctets[1], QStringLiteral("000"));
    w.btnConnect[3]->click();
    QVERIFY(server.waitForConnection(5000));
    QVERIFY(server.waitForBytes(9, 5000));
    QCOMPARE(server.received(0), QByteArray("riprdp"));
    QCOMPARE(server.received(1), QByteArray("rip"));
    QVERIFY(w.rtfReceive->hasFocus() || w.rtfReceive->isAncestorOf(QApplication::focusWidget()));
    QTRY_COMPARE(server.openConnectionCount(), 1);
    QCOMPARE(w.remoteAddress, QStringLiteral("127.000.0.1"));
    QCOMPARE(w.tcpConnected, True);
    QCOMPARE(switches.take(), toSerial + QStringList({"+txtSend", "-txtRS232Send"}));
    QVERIFY(w.txtSend->Visible() && !w.txtRS232Send->Visible());
    QVERIFY(app.messages->texts.isEmpty());

    // Connect while connected: one report, the socket closed, the TCP line still showing.
    w.btnConnect[0]->click();
    QCOMPARE(app.messages->texts.size(), 1);
    QVERIFY(app.messages->texts[0].endsWith(QStringLiteral("Active Control: btnConnect_Click")));
    QVERIFY(server.waitForClientClosed(5000));
    QCOMPARE(w.tcpConnected, False);
    QVERIFY(w.txtSend->Visible() && !w.txtRS232Send->Visible());

    // Disconnect shows the serial line again, without a report, and the keyboard follows.
    w.btnConnect[1]->setFocus();
    w.btnConnect[1]->click();
    QCOMPARE(app.messages->texts.size(), 1);
    QVERIFY(w.txtRS232Send->Visible() && !w.txtSend->Visible());
    QCOMPARE(QApplication::focusWidget(), w.txtRS232Send);
    QCOMPARE(w.tcpConnected, False);
    QCOMPARE(w.Winsock1->state(), SocketControl::State::Closed);
    QCOMPARE(switches.take(), toSerial);

    // Change Remote Host from its button: the keyboard goes to the serial line while the
    // link is down and on to the TCP/IP line once it is up, and nowhere else.
    QWidgetList focused;
    QObject::connect(qApp, &QApplication::focusChanged, &switches,
                     [&](QWidget*, QWidget* now) { focused << now; });
    w.btnConnect[3]->setFocus();
    w.btnConnect[3]->click();
    QCOMPARE(w.tcpConnected, True);
    QCOMPARE(focused, QWidgetList({w.btnConnect[3], w.txtRS232Send, nullptr, w.txtSend}));
}

void TcpLinkTest::failedConnect_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("start");  // serial, connected or failed (TCP line, closed)
    QTest::addColumn<QString>("answer"); // the address answer the octets come from
    QTest::addColumn<bool>("afterWait"); // the report comes after the two-second wait
    QTest::addColumn<bool>("tcpLine");   // txtSend visible afterwards
    QTest::addColumn<QStringList>("switches");
    const QString loopback = QStringLiteral("IP: 127.0.0.1.");
    const QString name = QStringLiteral("IP: 127.0.x1.1.");
    QTest::newRow("connect refused") << 0 << "serial" << loopback << true << false << QStringList();
    QTest::newRow("connect again refused")
        << 0 << "failed" << loopback << true << true << QStringList();
    QTest::newRow("change host refused")
        << 3 << "connected" << loopback << true << false << toSerial;
    QTest::newRow("octet not a number") << 0 << "serial" << name << false << false << QStringList();
    QTest::newRow("change host, not a number")
        << 3 << "connected" << name << false << false << toSerial;
}

void TcpLinkTest::failedConnect() {
    QFETCH(int, index);
    QFETCH(QString, start);
    QFETCH(QString, answer);
    LoopbackServer server;
    auto clock = std::make_shared<TestClock>();
    AppHarness app(realSocket(server, clock));
    auto& w = app.window();
    w.address().ParseIpAnswer(QStringLiteral("IP: 127.0.0.1."));
    if (start != QLatin1String("serial")) {
        WhileWaiting script(*clock, [&] {
            if (server.connectionCount() < 1)
                return false;
            clock->now += 2;
            return true;
        });
        w.btnConnect[0]->click();
        QVERIFY(server.waitForBytes(3, 5000));
        if (start == QLatin1String("failed")) {
            w.btnConnect[0]->click();
            QVERIFY(server.waitForClientClosed(5000));
        }
    }
    server.stopListening();
    w.address().ParseIpAnswer(answer);
    const int reportsBefore = int(app.messages->texts.size());
    const int connectionsBefore = server.connectionCount();
    const bool tcpLineBefore = w.txtSend->Visible();
    const std::int64_t readsBefore = clock->reads;
    SendLineSwitches seen(w);

    bool reportedDuringWait = false;
    WhileWaiting script(*clock, [&] {
        if (clock->reads == readsBefore)
            return false;
        reportedDuringWait = app.messages->texts.size() != reportsBefore;
        clock->now += 2;
        return true;
    });
    w.btnConnect[index]->click();
    QVERIFY(!script.stuck);

    QFETCH(bool, afterWait);
    QFETCH(bool, tcpLine);
    QFETCH(QStringList, switches);
    QCOMPARE(seen.take(), switches);
    QCOMPARE(clock->reads > readsBefore, afterWait);
    QVERIFY(!reportedDuringWait);
    QCOMPARE(app.messages->texts.size(), reportsBefore + 1);
    const QString report = app.messages->texts.constLast();
    QVERIFY2(report.endsWith(QStringLiteral("Active Control: btnConnect_Click")),
             qPrintable(report));
    if (!afterWait)
        QVERIFY2(report.startsWith(QStringLiteral("Error Number: [10049] ")), qPrintable(report));
    QCOMPARE(w.tcpConnected, False);
    QCOMPARE(w.Winsock1->state(), SocketControl::State::Closed);
    QCOMPARE(w.txtSend->Visible(), tcpLine);
    QCOMPARE(w.txtRS232Send->Visible(), !tcpLine);
    QTRY_COMPARE(server.openConnectionCount(), 0);
    if (index == 0)
        QCOMPARE(w.txtSend->Visible(), tcpLineBefore);
    // The address is built from the octets unchanged, and names are never looked up.
    const QString address = answer.mid(4).chopped(1);
    QCOMPARE(w.remoteAddress, address);
    QCOMPARE(w.Winsock1->RemoteHost(), address);
    QCOMPARE(server.connectionCount(), connectionsBefore);
}

void TcpLinkTest::typedLinesGoOutBare() {
    LoopbackServer server;
    AppHarness app(realSocket(server));
    auto& w = app.window();
    QVERIFY(connectTo(app, server));

    QTest::keyClicks(w.txtSend, QStringLiteral("rdp"));
    QTest::keyClick(w.txtSend, Qt::Key_Return);
    QVERIFY(server.waitForBytes(6, 5000));
    QCOMPARE(w.txtSend->Text(), QString());
    QTest::keyClick(w.txtSend, Qt::Key_Enter); // an empty line sends nothing
    w.tcpLink().SendTcp(QString::fromLatin1(allBytes()));
    QCOMPARE(server.receivedBeforeMarker(*w.Winsock1), QByteArray("riprdp") + allBytes());
    QVERIFY(app.messages->texts.isEmpty());

    // A second Connect leaves the TCP line showing over a closed socket: a typed line
    // is then reported once and kept.
    w.btnConnect[0]->click();
    QCOMPARE(app.messages->texts.size(), 1);
    QTest::keyClicks(w.txtSend, QStringLiteral("rsp"));
    QTest::keyClick(w.txtSend, Qt::Key_Return);
    QCOMPARE(app.messages->texts.size(), 2);
    QVERIFY(app.messages->texts[1].endsWith(QStringLiteral("Active Control: SendTcp")));
    QCOMPARE(w.txtSend->Text(), QStringLiteral("rsp"));
    QCOMPARE(w.tcpConnected, False);
}

void TcpLinkTest::chunksAreLoggedAndShown() {
    LoopbackServer server;
    AppHarness app(realSocket(server));
    auto& w = app.window();
    QTRY_COMPARE(app.logBytes(), QByteArray("\r\n\r\n")); // the serial greeting's save
    QVERIFY(connectTo(app, server));

    // The address answer is taken only once its chunk is in the file and in the box.
    bool loggedFirst = false;
    QObject::connect(w.txtTcp4, &TextBox::Change, [&] {
        loggedFirst = app.logBytes().contains("IP: 127.0.0.9.") &&
                      w.rtfReceive->Text().contains(QStringLiteral("IP: 127.0.0.9."));
    });

    QByteArray file = app.logBytes();
    const QList<QByteArray> chunks = {"first answer", "two answers\r\nin one chunk\r\n",
                                      "unit IP: 127.0.0.9.\r\n", "IP: 127.1.2.3", allBytes()};
    for (const QByteArray& chunk : chunks) {
        QVERIFY(server.send(chunk));
        file += chunk + "\r\n";
        QTRY_COMPARE(app.logBytes(), file);
        QCOMPARE(w.rtfReceive->Text(), asBoxText(file));
        QCOMPARE(w.rtfReceive->SelStart(), w.rtfReceive->textLength());
        QCOMPARE(w.rtfReceive->SelLength(), 0);
    }
    QVERIFY(loggedFirst);
    // The incomplete answer changed the stored octets only.
    QCOMPARE(boxes(w), QStringList({"127", "0", "0", "9"}));
    QCOMPARE(QStringList(w.remoteOctets.begin(), w.remoteOctets.end()),
             QStringList({"127", "1", "2", "9"}));

    w.tcpLink().Winsock1_DataArrival(0);
    QCOMPARE(app.logBytes(), file);
    QCOMPARE(w.rtfReceive->Text(), asBoxText(file));
    QVERIFY(app.messages->texts.isEmpty());
    QCOMPARE(w.tcpConnected, True);
}

void TcpLinkTest::chunksSurviveAnUnwritableLog() {
    LoopbackServer server;
    AppHarness app(realSocket(server));
    auto& w = app.window();
    QTRY_COMPARE(app.logBytes(), QByteArray("\r\n\r\n"));
    QVERIFY(connectTo(app, server));

    // Serial text goes into the file, so a TCP/IP reload keeps it.
    QVERIFY(app.com5->write("serial one\r\n"));
    QTRY_VERIFY(app.logBytes().contains("serial one"));
    QVERIFY(server.send("tcp one"));
    QTRY_VERIFY(app.logBytes().contains("tcp one"));
    QVERIFY(w.rtfReceive->Text().contains(QStringLiteral("serial one")));

    // The log becomes a folder: nothing can be written to it (not even by root).
    QVERIFY(QFile::remove(app.logPath()));
    QVERIFY(QDir().mkdir(app.logPath()));
    QVERIFY(app.com5->write("serial two\r\n"));
    QTRY_VERIFY(w.rtfReceive->Text().contains(QStringLiteral("serial two")));
    QVERIFY(server.send("IP: 127.0.0.7.\r\n"));
    QTRY_COMPARE(w.txtTcp4->Text(), QStringLiteral("7"));
    QVERIFY(w.rtfReceive->Text().endsWith(QStringLiteral("serial two\r\nIP: 127.0.0.7.\r\n\r\n")));
    QCOMPARE(w.rtfReceive->SelStart(), w.rtfReceive->textLength());
    QCOMPARE(w.rtfReceive->SelLength(), 0);

    // Once the file can be written again, it catches up with everything shown.
    QVERIFY(QDir().rmdir(app.logPath()));
    QVERIFY(server.send("tcp three"));
    QTRY_VERIFY(app.logBytes().endsWith("tcp three\r\n"));
    const QByteArray file = app.logBytes();
    QCOMPARE(w.rtfReceive->Text(), asBoxText(file));
    for (const char* text : {"serial one", "tcp one", "serial two", "IP: 127.0.0.7.", "tcp three"})
        QVERIFY2(file.contains(text), text);
    QVERIFY(app.messages->texts.isEmpty());
    QCOMPARE(w.tcpConnected, True);
}

QTEST_MAIN(TcpLinkTest)
#include "tst_tcp_link.moc"
