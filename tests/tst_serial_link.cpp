// The serial link on the real main window, against real pseudo-terminals: picking a
// port (several linked COM numbers, the open one, a missing one), sending typed lines,
// receiving into the box and the log with the unit's address answer, and the whole road
// with quorlane-unit answering the start-up greeting.

#include "platform/link/serialcontrol.h"
#include "platform/widgets/controls.h"
#include "platform/widgets/richtextbox.h"
#include "serial/seriallink.h"
#include "support/appharness.h"

#include <QAbstractItemView>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QWheelEvent>
#include <QtTest>

namespace {

constexpr int Wait = 5000;

// A pick as the operator makes it: the list's index moves and the list reports activation.
void pick(frmQuorlaneTest& w, int index) {
    w.cmboCOMMPort->setCurrentIndex(index);
    emit w.cmboCOMMPort->activated(index);
}

void enterLine(frmQuorlaneTest& w, const QString& text) {
    QTest::keyClicks(w.txtRS232Send, text);
    QTest::keyClick(w.txtRS232Send, Qt::Key_Return);
}

QStringList boxes(frmQuorlaneTest& w) {
    return {w.txtTcp1->Text(), w.txtTcp2->Text(), w.txtTcp3->Text(), w.txtTcp4->Text()};
}
QStringList octets(frmQuorlaneTest& w) {
    return {w.remoteOctets.begin(), w.remoteOctets.end()};
}

// Watches every event of the serial control, right after the window has handled it.
struct EventWatch {
    explicit EventWatch(AppHarness& app) {
        QObject::connect(app->MSComm1, &SerialControl::OnComm, &context, [this, &app] {
            codes << app->MSComm1->CommEvent();
            if (app.logBytes() != app->rtfReceive->Text().toLatin1())
                ++logDiffers;
        });
    }
    QObject context;
    QList<int> codes;
    int logDiffers = 0;
};

// Sends bytes from the unit's side and waits until the program has read them and raised
// the receive event for them, so that they have been handled.
#define RECEIVE(peer, bytes)                                                                       \
    do {                                                                                           \
        QVERIFY((peer).write(bytes));                                                              \
        QVERIFY((peer).waitUntilWaitingAtSlave(qsizetype(qstrlen(bytes)), Wait));                  \
        QTRY_COMPARE_WITH_TIMEOUT((peer).waitingAtSlave(), qsizetype(0), Wait);                    \
        QTRY_VERIFY_WITH_TIMEOUT(!app->MSComm1->receivePending(), Wait);                           \
    } while (false)

} // namespace

class SerialLinkTest : public QObject {
    Q_OBJECT
private slots:
    void portPicks();
    void sendLine_data();
    void sendLine();
    void sendToClosedOrMissingPort();
    void receive();
    void sendEventOnlySaves();
    void endToEndWithTheUnit();
};

void SerialLinkTest::portPicks() {
    AppHarness app;
    auto& w = app.window();
    w.Timer1->stop();
    QCOMPARE(app.com5->waitFor(5, Wait), QByteArray("rip\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(app.logBytes(), QByteArray("\r\n\r\n"), Wait);
    PtyPeer com1, com6, com7;
    QVERIFY(com1.linkAs(app.home, 1) && com6.linkAs(app.home, 6) && com7.linkAs(app.home, 7));
    QVERIFY(!app.home.linkMissing(12).isEmpty());
    const QString tcpCaption = w.lblConnect[0]->text();
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    // Keys as the keyboard sends them: to the control that has the focus.
    const auto key = [](Qt::Key k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(QApplication::focusWidget(), k, modifiers);
    };

    // Tab once round the window and on into the list, which shows "Com 5" with no entry
    // selected; type a port into its field and leave it with Enter and Tab. No pick:
    // COM 5 stays as start-up opened it (a pick leaves no send events).
    for (int i = 0, visits = 0; i < 40 && visits < 2; ++i) {
        key(Qt::Key_Tab);
        visits += QApplication::focusWidget() == w.cmboCOMMPort;
    }
    QCOMPARE(QApplication::focusWidget(), w.cmboCOMMPort);
    w.cmboCOMMPort->lineEdit()->selectAll();
    QTest::keyClicks(w.cmboCOMMPort, QStringLiteral("Com 6"));
    key(Qt::Key_Return);
    key(Qt::Key_Tab);
    QCOMPARE(w.MSComm1->CommPort(), std::int16_t(5));
    QCOMPARE(w.MSComm1->SThreshold(), std::int16_t(1));

    // Up picks the port before the one the field shows, here the open one: it passes
    // through closed (opening an open port would fail) and is left without send events,
    // so a sent line no longer saves the box.
    key(Qt::Key_Tab, Qt::ShiftModifier);
    key(Qt::Key_Up);
    QVERIFY(app.messages->texts.isEmpty());
    QVERIFY(w.MSComm1->PortOpen());
    QCOMPARE(w.lblConnect[2]->text(), QStringLiteral("Connect to com 5"));
    QCOMPARE(w.lblConnect[3]->text(), QStringLiteral("Connect to com 5"));
    QCOMPARE(w.MSComm1->Settings(), QStringLiteral("19200,N,8,1"));
    QVERIFY(w.MSComm1->DTREnable() && w.MSComm1->RTSEnable());
    QCOMPARE(w.MSComm1->RThreshold(), std::int16_t(1));
    QCOMPARE(w.MSComm1->SThreshold(), std::int16_t(0));
    w.rtfReceive->setText(QStringLiteral("notes"));
    enterLine(w, QStringLiteral("a"));
    // A send event would have been handled by the time the marker is through.
    QCOMPARE(app.com5->sentBeforeMarker(*w.MSComm1), QByteArray("a\r\n"));
    QCOMPARE(app.logBytes(), QByteArray("\r\n\r\n"));

    // The opened list starts at the port the field shows: from "Com 6", Down and Enter
    // pick Com 7. Both directions go there, none to the old port.
    w.cmboCOMMPort->lineEdit()->selectAll();
    QTest::keyClicks(w.cmboCOMMPort, QStringLiteral("Com 6"));
    key(Qt::Key_F4);
    QAbstractItemView* popup = w.cmboCOMMPort->view();
    QVERIFY(QTest::qWaitForWindowExposed(popup->window()));
    QTest::keyClick(popup, Qt::Key_Down);
    QTest::keyClick(popup, Qt::Key_Return);
    QCOMPARE(w.MSComm1->CommPort(), std::int16_t(7));
    QCOMPARE(w.lblConnect[2]->text(), QStringLiteral("Connect to com 7"));
    QCOMPARE(w.lblConnect[3]->text(), QStringLiteral("Connect to com 7"));
    enterLine(w, QStringLiteral("b"));
    QCOMPARE(com7.waitFor(3, Wait), QByteArray("b\r\n"));
    RECEIVE(com7, "from 7");
    QVERIFY(w.rtfReceive->Text().contains(QLatin1String("from 7")));
    // COM 5 was closed: all it was ever sent has arrived.
    QCOMPARE(app.com5->readAvailable(), QByteArray());

    // Typed and left with a click elsewhere, no pick either; the arrow keys and the wheel
    // then move from the port the field shows and pick at once.
    w.cmboCOMMPort->lineEdit()->selectAll();
    QTest::keyClicks(w.cmboCOMMPort, QStringLiteral("Com 5"));
    QTest::mouseClick(w.txtRS232Send, Qt::LeftButton);
    QCOMPARE(w.MSComm1->CommPort(), std::int16_t(7));
    key(Qt::Key_Tab, Qt::ShiftModifier);
    key(Qt::Key_Down);
    QCOMPARE(w.lblConnect[2]->text(), QStringLiteral("Connect to com 6"));
    enterLine(w, QStringLiteral("down"));
    QCOMPARE(com6.waitFor(6, Wait), QByteArray("down\r\n"));
    QWheelEvent down(QPointF(5, 5), w.cmboCOMMPort->mapToGlobal(QPointF(5, 5)), QPoint(),
                     QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(w.cmboCOMMPort, &down);
    QCOMPARE(w.lblConnect[2]->text(), QStringLiteral("Connect to com 7"));
    QVERIFY(app.messages->texts.isEmpty());

    // A port the machine does not have.
    pick(w, 11);
    QCOMPARE(app.messages->texts.size(), 1);
    const QStringList lines = app.messages->texts[0].split(QStringLiteral("\r\n"));
    QCOMPARE(lines.size(), 5);
    QVERIFY(QRegularExpression(QStringLiteral("^Error Number: \\[-?\\d+\\] $"))
                .match(lines[0])
                .hasMatch());
    QVERIFY2(lines[1].startsWith(QLatin1String("ErrorDescription: Port 12 ")) &&
                 lines[1].contains(app.home.comPath(12)),
             qPrintable(lines[1]));
    QCOMPARE(lines[2], QStringLiteral("VB Source: MSComm1"));
    QCOMPARE(lines[3], QStringLiteral("App Source: frmQuorlaneTest"));
    QCOMPARE(lines[4], QStringLiteral("Active Control: InitCommPort"));
    QCOMPARE(w.lblConnect[2]->text(), QStringLiteral("Error Com 12"));
    QCOMPARE(w.lblConnect[3]->text(), QStringLiteral("Error Com 12"));
    QVERIFY(!w.MSComm1->PortOpen());
    QCOMPARE(w.MSComm1->CommPort(), std::int16_t(12));
    QCOMPARE(w.cmboCOMMPort->ListIndex(), std::int16_t(11));
    QCOMPARE(w.cmboCOMMPort->currentText(), QStringLiteral("Com 12"));

    // With no entry selected the first entry is taken: port 1.
    w.cmboCOMMPort->setListIndex(-1);
    w.serialLink().InitCommPort();
    QCOMPARE(w.cmboCOMMPort->ListIndex(), std::int16_t(0));
    QCOMPARE(w.lblConnect[2]->text(), QStringLiteral("Connect to com 1"));
    enterLine(w, QStringLiteral("c"));
    QCOMPARE(com1.waitFor(3, Wait), QByteArray("c\r\n"));

    // The program's own changes of the list are no pick.
    w.cmboCOMMPort->setListIndex(6);
    w.cmboCOMMPort->setText(QStringLiteral("Com 9"));
    QCOMPARE(w.MSComm1->CommPort(), std::int16_t(1));

    // The TCP/IP link has seen none of it.
    QVERIFY(app.socket->connects.isEmpty() && app.socket->sent.isEmpty());
    QCOMPARE(app.socket->closes, 0);
    QCOMPARE(w.tcpConnected, False);
    QCOMPARE(w.lblConnect[0]->text(), tcpCaption);
    QCOMPARE(w.lblConnect[1]->text(), tcpCaption);
    QVERIFY(w.txtRS232Send->Visible() && !w.txtSend->Visible());
    QCOMPARE(app.messages->texts.size(), 1);
}

void SerialLinkTest::sendLine_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("word") << "rip" << QByteArray("rip\r\n");
    QTest::newRow("blanks kept") << "  rdp  1 " << QByteArray("  rdp  1 \r\n");
    QTest::newRow("empty line") << "" << QByteArray("\r\n");
    QTest::newRow("8-bit text") << QString::fromLatin1("25\xb0"
                                                       "C")
                                << QByteArray("25\xb0"
                                              "C\r\n");
}

void SerialLinkTest::sendLine() {
    QFETCH(QString, typed);
    QFETCH(QByteArray, wire);
    AppHarness app;
    auto& w = app.window();
    QCOMPARE(app.com5->waitFor(5, Wait), QByteArray("rip\r\n"));
    // Keys other than Enter only edit the line.
    QTest::keyClicks(w.txtRS232Send, typed);
    QCOMPARE(w.txtRS232Send->Text(), typed);
    QCOMPARE(app.com5->sentBeforeMarker(*w.MSComm1), QByteArray());
    QTest::keyClick(w.txtRS232Send, Qt::Key_Return);
    QCOMPARE(w.txtRS232Send->Text(), QString());
    QCOMPARE(app.com5->sentBeforeMarker(*w.MSComm1), wire);
    QVERIFY(app.messages->texts.isEmpty());
}

void SerialLinkTest::sendToClosedOrMissingPort() {
    AppHarness app;
    auto& w = app.window();
    QCOMPARE(app.com5->waitFor(5, Wait), QByteArray("rip\r\n"));
    app.home.linkMissing(12);
    pick(w, 11);
    QCOMPARE(app.messages->texts.size(), 1);

    // The port is missing: one report, the line is gone.
    enterLine(w, QStringLiteral("lost"));
    QCOMPARE(app.messages->texts.size(), 2);
    QVERIFY(app.messages->texts[1].contains(QLatin1String("Port 12 ")));
    QVERIFY(app.messages->texts[1].endsWith(
        QLatin1String("\r\nActive Control: txtRS232Send_KeyPress")));
    QCOMPARE(w.txtRS232Send->Text(), QString());
    QVERIFY(!w.MSComm1->PortOpen());

    // The port is there now: the send opens it with what the control holds.
    PtyPeer com12;
    QVERIFY(com12.linkAs(app.home, 12));
    enterLine(w, QStringLiteral("found"));
    QCOMPARE(com12.waitFor(7, Wait), QByteArray("found\r\n"));
    QVERIFY(w.MSComm1->PortOpen());
    QCOMPARE(w.MSComm1->CommPort(), std::int16_t(12));
    QCOMPARE(w.lblConnect[2]->text(), QStringLiteral("Error Com 12"));
    QCOMPARE(app.messages->texts.size(), 2);
    // COM 5 was closed: all it was ever sent has arrived.
    QCOMPARE(app.com5->readAvailable(), QByteArray());
}

void SerialLinkTest::receive() {
    AppHarness app;
    auto& w = app.window();
    QCOMPARE(app.com5->waitFor(5, Wait), QByteArray("rip\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(app.logBytes(), QByteArray("\r\n\r\n"), Wait);
    EventWatch events(app);

    // Text lands at the caret, over the selection; then the caret goes to the end.
    w.rtfReceive->setText(QStringLiteral("0123456789"));
    w.rtfReceive->setSelStart(3);
    w.rtfReceive->setSelLength(2);
    RECEIVE(*app.com5, "AB");
    QCOMPARE(w.rtfReceive->Text(), QStringLiteral("012AB56789"));
    QCOMPARE(w.rtfReceive->SelStart(), 10);
    QCOMPARE(w.rtfReceive->SelLength(), 0);

    // An answer in two pieces is taken once its last "." is in the box; the first piece
    // stores what it has, leaves the boxes alone and is saved all the same.
    RECEIVE(*app.com5, "\r\nIP: 10.20.");
    QCOMPARE(octets(w), (QStringList{"10", "20", "1", "100"}));
    QCOMPARE(boxes(w), (QStringList{"192", "168", "1", "100"}));
    RECEIVE(*app.com5, "30.40.\r\n");
    QVERIFY(w.rtfReceive->Text().endsWith(QLatin1String("56789\r\nIP: 10.20.30.40.\r\n")));
    QCOMPARE(boxes(w), (QStringList{"10", "20", "30", "40"}));

    // The answer is taken again by every event while its "IP: " lies within the last 50
    // characters of the box, over whatever the operator typed since.
    const auto operatorTypes = [&] {
        w.txtTcp1->selectAll();
        QTest::keyClicks(w.txtTcp1, QStringLiteral("5"));
        QCOMPARE(w.remoteOctets[0], QStringLiteral("5"));
    };
    RECEIVE(*app.com5, QByteArray(31, '-').constData()); // "IP: " starts 49 from the end
    operatorTypes();
    RECEIVE(*app.com5, "y"); // 50
    QCOMPARE(boxes(w), (QStringList{"10", "20", "30", "40"}));
    operatorTypes();
    RECEIVE(*app.com5, "z"); // 51
    QVERIFY(
        w.rtfReceive->Text().endsWith(QLatin1String("40.\r\n-------------------------------yz")));
    QCOMPARE(boxes(w), (QStringList{"5", "20", "30", "40"}));

    // A box of exactly 10 characters is not searched; one more and it is.
    w.rtfReceive->setText(QString());
    RECEIVE(*app.com5, "IP: 7.8...");
    QCOMPARE(w.rtfReceive->Text(), QStringLiteral("IP: 7.8..."));
    QCOMPARE(octets(w), (QStringList{"5", "20", "30", "40"}));
    RECEIVE(*app.com5, "!");
    QCOMPARE(boxes(w), (QStringList{"7", "8", "", ""}));
    QCOMPARE(octets(w), (QStringList{"7", "8", "", ""}));

    // Of two answers in the tail the earlier one is taken.
    w.rtfReceive->setText(QString());
    RECEIVE(*app.com5, "IP: 1.1.1.1. IP: 2.2.2.2.");
    QCOMPARE(boxes(w), (QStringList{"1", "1", "1", "1"}));

    // 8-bit text and line ends come through as they are.
    RECEIVE(*app.com5, "\r\n25\xb0"
                       "C\x01\r\n");
    QVERIFY(app.logBytes().endsWith("\r\n25\xb0"
                                    "C\x01\r\n"));
    // An 8-bit byte in an answer's field is its Latin-1 character there too.
    w.rtfReceive->setText(QString());
    RECEIVE(*app.com5, "IP: 9.9.9.\xb0.");
    QCOMPARE(octets(w), (QStringList{"9", "9", "9", QStringLiteral("\u00b0")}));
    QCOMPARE(boxes(w), octets(w));

    QVERIFY(events.codes.size() >= 10);
    QCOMPARE(events.codes.count(SerialControl::EvReceive), events.codes.size());
    QCOMPARE(events.logDiffers, 0);
    QVERIFY(app.messages->texts.isEmpty());
}

void SerialLinkTest::sendEventOnlySaves() {
    AppHarness app;
    auto& w = app.window();
    QCOMPARE(app.com5->waitFor(5, Wait), QByteArray("rip\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(app.logBytes(), QByteArray("\r\n\r\n"), Wait);
    EventWatch events(app);
    w.rtfReceive->setText(QStringLiteral("operator notes"));
    w.rtfReceive->setSelStart(2);
    w.rtfReceive->setSelLength(3);
    enterLine(w, QStringLiteral("v"));
    QTRY_VERIFY_WITH_TIMEOUT(events.codes.contains(SerialControl::EvSend), Wait);
    QCOMPARE(app.logBytes(), QByteArray("operator notes"));
    QCOMPARE(w.rtfReceive->Text(), QStringLiteral("operator notes"));
    QCOMPARE(w.rtfReceive->SelStart(), 2);
    QCOMPARE(w.rtfReceive->SelLength(), 3);
    QCOMPARE(events.logDiffers, 0);
}

void SerialLinkTest::endToEndWithTheUnit() {
    std::unique_ptr<QProcess> unit;
    QByteArray ready;
    AppHarness::Options o;
    o.leaveCom5 = true;
    // The unit links its own pseudo-terminal as COM 5 before the window opens it.
    o.beforeStart = [&](ScratchHome& home) {
        unit = std::make_unique<QProcess>();
        unit->start(QStringLiteral(QUORLANE_UNIT_EXE),
                    {"--home", home.path(), "--tcp-port", "0", "--com", "5", "--quiet"});
        QDeadlineTimer deadline(Wait);
        while (!unit->canReadLine() && unit->state() != QProcess::NotRunning &&
               !deadline.hasExpired())
            unit->waitForReadyRead(50);
        ready = unit->readLine();
        // Without the unit COM 5 must still be nothing real.
        if (!ready.startsWith("ready"))
            home.linkMissing(5);
    };
    AppHarness app(o);
    auto& w = app.window();
    QVERIFY2(ready.startsWith("ready serial="), ready.constData());
    QCOMPARE(w.lblConnect[2]->text(), QStringLiteral("Connect to com 5"));

    QTRY_COMPARE_WITH_TIMEOUT(boxes(w), (QStringList{"127", "0", "0", "1"}), Wait);
    QCOMPARE(octets(w), (QStringList{"127", "0", "0", "1"}));
    QVERIFY(w.rtfReceive->Text().contains(QLatin1String("IP: 127.0.0.1.\r\n")));
    QCOMPARE(w.remoteAddress, QStringLiteral("192.168.1.100"));

    enterLine(w, QStringLiteral("v"));
    QTRY_VERIFY_WITH_TIMEOUT(
        w.rtfReceive->Text().endsWith(QLatin1String("v: firmware 2.41 build 0317\r\n")), Wait);
    QTRY_COMPARE_WITH_TIMEOUT(app.logBytes(), w.rtfReceive->Text().toLatin1(), Wait);
    QVERIFY(app.messages->texts.isEmpty());
    QVERIFY(app.socket->connects.isEmpty());

    unit->terminate();
    QVERIFY(unit->waitForFinished(Wait));
}

QTEST_MAIN(SerialLinkTest)
#include "tst_serial_link.moc"
