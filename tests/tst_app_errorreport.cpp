// The error report, the common error trap and the timed wait of the main window.

#include "commands/commands.h"
#include "platform/base/runtimeerror.h"
#include "platform/widgets/messagebox.h"
#include "support/appharness.h"
#include "support/loopbackserver.h"
#include "support/testutil.h"

#include <QMessageBox>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <sys/resource.h>

namespace {

// A clock the test moves by hand, while the wait under test runs.
class HandClock : public Clock {
public:
    std::int64_t nowSeconds() const override {
        ++reads;
        return now;
    }
    std::int64_t now = 5000;
    mutable int reads = 0;
};

} // namespace

class ErrorReportTest : public QObject {
    Q_OBJECT
private slots:
    void reportText_data();
    void reportText();
    void trapReportsAndRunsExtraStepsOnce();
    void trapLetsOtherFailuresAlone();
    void realBoxIsModalWithTitle();
    void timerRestsWhileReportIsOpen();
    void sleepZeroOrNegativeReturnsAtOnce();
    void sleepWaitsForWholeSeconds();
    void sleepOutlastsClockSetBack();
    void sleepLetsEventsRun();
    void sleepCostsLittleProcessorTime();
};

void ErrorReportTest::reportText_data() {
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("expected");
    QTest::newRow("typical") << 13 << "Type mismatch"
                             << "MSComm1"
                             << "Error Number: [13] \r\nErrorDescription: Type mismatch\r\n"
                                "VB Source: MSComm1\r\nApp Source: frmQuorlaneTest\r\n"
                                "Active Control: btnTest_Click";
    QTest::newRow("empty fields") << 8002 << ""
                                  << ""
                                  << "Error Number: [8002] \r\nErrorDescription: \r\n"
                                     "VB Source: \r\nApp Source: frmQuorlaneTest\r\n"
                                     "Active Control: btnTest_Click";
    QTest::newRow("negative") << -2147 << "x"
                              << "y"
                              << "Error Number: [-2147] \r\nErrorDescription: x\r\n"
                                 "VB Source: y\r\nApp Source: frmQuorlaneTest\r\n"
                                 "Active Control: btnTest_Click";
}

void ErrorReportTest::reportText() {
    QFETCH(int, number);
    QFETCH(QString, description);
    QFETCH(QString, source);
    QFETCH(QString, expected);
    AppHarness app;
    app->trap().run(QStringLiteral("btnTest_Click"),
                    [&] { throw RuntimeError(number, description, source); });
    QCOMPARE(app.messages->texts, QStringList{expected});
    QCOMPARE(expected.count(QStringLiteral("\r\n")), 4);
}

void ErrorReportTest::trapReportsAndRunsExtraStepsOnce() {
    AppHarness app;
    int extra = 0;
    bool after = false;
    const bool completed = app->trap().run(
        QStringLiteral("SendTcp"),
        [&] {
            throw RuntimeError(40006, QStringLiteral("not connected"), QStringLiteral("Winsock1"));
            after = true;
        },
        [&] { ++extra; });
    QVERIFY(!completed);
    QVERIFY(!after);
    QCOMPARE(extra, 1);
    QCOMPARE(app.messages->texts.size(), 1);
    // Extra steps that fail themselves do not escape the trap.
    app->trap().run(
        QStringLiteral("SendTcp"), [] { throw RuntimeError(1, {}, {}); },
        [] { throw RuntimeError(2, {}, {}); });
    QCOMPARE(app.messages->texts.size(), 2);
    // A body that runs through reports nothing.
    QVERIFY(app->trap().run(QStringLiteral("SendTcp"), [] {}));
    QCOMPARE(app.messages->texts.size(), 2);
}

void ErrorReportTest::trapLetsOtherFailuresAlone() {
    AppHarness app;
    QVERIFY_THROWS_EXCEPTION(std::logic_error, app->trap().run(QStringLiteral("x"), [] {
        throw std::logic_error("bug");
    }));
    QVERIFY(app.messages->texts.isEmpty());
}

void ErrorReportTest::realBoxIsModalWithTitle() {
    ModalMessageBox box;
    QString title, text;
    bool modal = false, hasIcon = true;
    int buttons = 0;
    QTimer::singleShot(50, [&] {
        auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(shown);
        title = shown->windowTitle();
        text = shown->text();
        modal = shown->isModal();
        hasIcon = shown->icon() != QMessageBox::NoIcon;
        buttons = int(shown->buttons().size());
        shown->accept();
    });
    box.show(nullptr, QStringLiteral("line 1\r\nline 2"));
    QCOMPARE(title, QStringLiteral("Quorlane"));
    QCOMPARE(text, QStringLiteral("line 1\r\nline 2"));
    QVERIFY(modal);
    QVERIFY(!hasIcon);
    QCOMPARE(buttons, 1);
}

void ErrorReportTest::timerRestsWhileReportIsOpen() {
    AppHarness app;
    auto& w = app.window();
    QVERIFY(w.Timer1->isActive());
    int ticks = 0;
    QObject counter;
    QObject::connect(w.Timer1, &QTimer::timeout, &counter, [&] { ++ticks; });
    int ticksWhileOpen = -1;
    app.messages->whileOpen = [&](const QString&) {
        QVERIFY(!w.Timer1->isActive());
        // A nested report keeps the timer at rest until the outer one closes too.
        if (app.messages->texts.size() == 1)
            w.ErrorReport(QStringLiteral("1"), {}, {}, {}, QStringLiteral("inner"));
        QVERIFY(!w.Timer1->isActive());
        // The box stays open past a tick's time, so that there is a tick to miss.
        const int before = ticks;
        QTest::qWait(1300);
        ticksWhileOpen = ticks - before;
    };
    const int ticksBefore = ticks;
    w.ErrorReport(QStringLiteral("1"), {}, {}, {}, QStringLiteral("outer"));
    QCOMPARE(ticksWhileOpen, 0);
    QVERIFY(w.Timer1->isActive());
    // The missed tick is not replayed: nothing the closing queued ticks.
    QVERIFY(handlePostedEvents());
    QCOMPARE(ticks, ticksBefore);
    // Ticks resume afterwards.
    QTRY_COMPARE_WITH_TIMEOUT(w.lblConnect[4]->text(), QStringLiteral("Serial Port Active"), 2500);
}

void ErrorReportTest::sleepZeroOrNegativeReturnsAtOnce() {
    AppHarness app;
    bool ran = false;
    QObject scope; // the pending call goes with it
    QTimer::singleShot(0, &scope, [&] { ran = true; });
    app->Sleep(0);
    app->Sleep(-3);
    QVERIFY(!ran);
}

void ErrorReportTest::sleepWaitsForWholeSeconds() {
    auto clock = std::make_shared<HandClock>();
    AppHarness::Options o;
    o.clock = clock;
    AppHarness app(o);

    int stage = 0;
    QTimer mover;
    QObject::connect(&mover, &QTimer::timeout, [&] {
        ++stage;
        if (stage == 3 || stage == 6)
            clock->now += 1; // one second, then the second one
    });
    mover.start(30);
    const std::int64_t started = clock->now;
    app->Sleep(2);
    QCOMPARE(clock->now - started, 2);
    QCOMPARE(stage, 6);
}

void ErrorReportTest::sleepOutlastsClockSetBack() {
    auto clock = std::make_shared<HandClock>();
    AppHarness::Options o;
    o.clock = clock;
    AppHarness app(o);

    const std::int64_t start = clock->now;
    int step = 0;
    QTimer mover;
    QObject::connect(&mover, &QTimer::timeout, [&] {
        ++step;
        if (step == 2)
            clock->now = start - 10; // set back
        else if (step > 2)
            clock->now += 3;
    });
    mover.start(20);
    app->Sleep(2);
    // -10, -7, -4, -1, +2: the wait lasted until the clock again reached start + 2.
    QVERIFY(clock->now >= start + 2);
    QCOMPARE(step, 6);
}

void ErrorReportTest::sleepLetsEventsRun() {
    LoopbackServer server;
    AppHarness app;
    auto& w = app.window();

    // A timer tick, data on a socket and a posted click all run inside the wait.
    QTcpSocket client;
    bool ticked = false, clicked = false, dataSeen = false;
    QTimer::singleShot(100, [&] { ticked = true; });
    QTimer::singleShot(150, [&] { client.connectToHost(QHostAddress::LocalHost, server.port()); });
    QObject::connect(&client, &QTcpSocket::connected, [&] { client.write("x"); });
    QTimer::singleShot(200, [&] {
        w.commands().btnTest_Click(5);
        clicked = w.pollingOn == True;
    });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout,
                     [&] { dataSeen = dataSeen || server.receivedTotal() == "x"; });
    poll.start(10);
    w.Sleep(2);
    QVERIFY(ticked);
    QVERIFY(clicked);
    QVERIFY(dataSeen);
}

void ErrorReportTest::sleepCostsLittleProcessorTime() {
    AppHarness app;
    QElapsedTimer wall;
    const double cpu0 = cpuSeconds();
    wall.start();
    app->Sleep(2);
    const double cpu = cpuSeconds() - cpu0;
    const double seconds = wall.elapsed() / 1000.0;
    // With a clock in whole seconds two of them take more than one real second.
    QVERIFY2(seconds > 1.0, qPrintable(QString::number(seconds)));
    QVERIFY2(cpu < 0.10 * seconds,
             qPrintable(QStringLiteral("cpu %1 s over %2 s").arg(cpu).arg(seconds)));
}

QTEST_MAIN(ErrorReportTest)
#include "tst_app_errorreport.moc"
