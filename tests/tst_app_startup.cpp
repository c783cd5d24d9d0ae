// Start-up of the main window: the log started afresh, the port list, serial port 5
// opened and greeted, and the failure path that falls back to a TCP/IP connect.

#include "app/globals.h"
#include "commands/vocabulary.h"
#include "platform/controls.h"
#include "platform/richtextbox.h"
#include "platform/serialcontrol.h"
#include "support/appharness.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void greetsTheUnitAndStartsTheLog();
    void oldLogDoesNotSurvive();
    void missingPortFallsBackToTcp();
    void missingPortWithUnreachableUnitReportsOnce();
    void logThatCannotBeCreatedLeavesListEmpty();
};

static QStringList listEntries(const ComboList& list) {
    QStringList out;
    for (int i = 0; i < list.count(); ++i)
        out << list.itemText(i);
    return out;
}

void StartupTest::greetsTheUnitAndStartsTheLog() {
    AppHarness app;
    auto& w = app.window();

    // Right after the load: the file holds one empty line, the box one line end more.
    QCOMPARE(app.logBytes(), QByteArray("\r\n"));
    QCOMPARE(w.rtfReceive->Text(), QStringLiteral("\r\n\r\n"));
    QCOMPARE(w.rtfReceive->SelStart(), 4);
    QCOMPARE(w.rtfReceive->SelLength(), 0);

    // Exactly the greeting, and nothing after it.
    QCOMPARE(app.com5->waitFor(5, 3000), QByteArray("rip\r\n"));
    QCOMPARE(app.com5->readFor(300), QByteArray());
    // Its transmission raised a send event, which saved the box over the file.
    QCOMPARE(app.logBytes(), QByteArray("\r\n\r\n"));

    QCOMPARE(w.lblConnect[2]->text(), QStringLiteral("Connect to com 5"));
    QCOMPARE(w.lblConnect[3]->text(), QStringLiteral("Connect to com 5"));
    for (int i : {0, 1, 4, 5})
        QCOMPARE(w.lblConnect[i]->text(), QStringLiteral("Label5"));

    QStringList expected;
    for (int n = 1; n <= 19; ++n)
        expected << QStringLiteral("Com %1").arg(n);
    QCOMPARE(listEntries(*w.cmboCOMMPort), expected);
    QCOMPARE(w.cmboCOMMPort->Text(), QStringLiteral("Com 5"));
    QCOMPARE(w.cmboCOMMPort->ListIndex(), std::int16_t(-1));

    QVERIFY(w.txtRS232Send->Visible());
    QVERIFY(!w.txtSend->Visible());
    QVERIFY(w.MSComm1->PortOpen());
    QCOMPARE(w.MSComm1->CommPort(), std::int16_t(5));
    QCOMPARE(w.MSComm1->Settings(), QStringLiteral("19200,N,8,1"));
    QVERIFY(w.MSComm1->DTREnable());
    QVERIFY(w.MSComm1->RTSEnable());
    QCOMPARE(w.MSComm1->RThreshold(), std::int16_t(1));
    QCOMPARE(w.MSComm1->SThreshold(), std::int16_t(1));

    // The TCP/IP link is not touched, and the start-up state is as created.
    QVERIFY(app.socket->connects.isEmpty());
    QVERIFY(app.socket->sent.isEmpty());
    QCOMPARE(w.tcpConnected, False);
    QCOMPARE(w.pollingOn, False);
    QCOMPARE(w.remoteAddress, QStringLiteral("192.168.1.100"));
    QCOMPARE(w.txtTcp1->Text(), QStringLiteral("192"));
    QCOMPARE(w.txtTcp4->Text(), QStringLiteral("100"));
    QCOMPARE(w.logFilePath, QStringLiteral("C:\\ZEL.txt"));
    QCOMPARE(appFolder, QCoreApplication::applicationDirPath());
    QVERIFY(app.messages->texts.isEmpty());
}

void StartupTest::oldLogDoesNotSurvive() {
    AppHarness::Options o;
    o.beforeStart = [](ScratchHome& home) {
        QDir().mkpath(home.path() + QStringLiteral("/drive_c"));
        QFile f(home.path() + QStringLiteral("/drive_c/ZEL.txt"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("yesterday's readings\r\n").repeated(1000));
    };
    AppHarness app(o);
    QCOMPARE(app.logBytes(), QByteArray("\r\n"));
    QVERIFY(!app->rtfReceive->Text().contains(QStringLiteral("yesterday")));
}

void StartupTest::missingPortFallsBackToTcp() {
    AppHarness::Options o;
    o.com5 = false;
    o.fastClock = true;
    AppHarness app(o);
    auto& w = app.window();

    QCOMPARE(w.lblConnect[2]->text(), QStringLiteral("Error Com 5"));
    QCOMPARE(w.lblConnect[3]->text(), QStringLiteral("Error Com 5"));
    QCOMPARE(w.cmboCOMMPort->count(), 19);
    QVERIFY(!w.MSComm1->PortOpen());
    // The load shows no report of its own; the connect to the default address went
    // through (the recording socket accepts it) and the unit was greeted over TCP.
    QVERIFY(app.messages->texts.isEmpty());
    QCOMPARE(app.socket->connects, QStringList{QStringLiteral("192.168.1.100")});
    QCOMPARE(app.socket->sent, QStringList{QStringLiteral("rip")});
    QCOMPARE(w.tcpConnected, True);
    QVERIFY(w.txtSend->Visible());
    QVERIFY(!w.txtRS232Send->Visible());
}

void StartupTest::missingPortWithUnreachableUnitReportsOnce() {
    AppHarness::Options o;
    o.com5 = false;
    o.fastClock = true;
    o.refuseConnect = true;
    AppHarness app(o);
    auto& w = app.window();
    // The greeting fails after the wait: one report from the connect handling, the
    // socket closed, the link not marked connected, the serial line still showing.
    QCOMPARE(app.messages->texts.size(), 1);
    QVERIFY(app.messages->texts[0].endsWith(QStringLiteral("Active Control: btnConnect_Click")));
    QCOMPARE(app.socket->closes, 1);
    QCOMPARE(w.tcpConnected, False);
    QVERIFY(w.txtRS232Send->Visible());
    QVERIFY(!w.txtSend->Visible());
    QCOMPARE(w.lblConnect[2]->text(), QStringLiteral("Error Com 5"));
}

void StartupTest::logThatCannotBeCreatedLeavesListEmpty() {
    AppHarness::Options o;
    o.fastClock = true;
    o.beforeStart = [](ScratchHome& home) {
        // drive_c is a plain file, so nothing can be created inside it.
        QFile f(home.path() + QStringLiteral("/drive_c"));
        QVERIFY(f.open(QIODevice::WriteOnly));
    };
    AppHarness app(o);
    auto& w = app.window();
    QCOMPARE(w.cmboCOMMPort->count(), 0);
    QVERIFY(!w.MSComm1->PortOpen());
    QCOMPARE(w.lblConnect[2]->text(), QStringLiteral("Error Com 5"));
    QCOMPARE(w.lblConnect[3]->text(), QStringLiteral("Error Com 5"));
    QCOMPARE(w.logFilePath, QStringLiteral("C:\\ZEL.txt"));
    QVERIFY(!appFolder.isEmpty());
    // Nothing was sent on the serial line; the fallback connect was attempted.
    QCOMPARE(app.com5->readFor(200), QByteArray());
    QCOMPARE(app.socket->connects.size(), 1);
}

QTEST_MAIN(StartupTest)
#include "tst_app_startup.moc"
