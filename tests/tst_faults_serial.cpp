// Faults on the serial link, on the real main window over real pseudo-terminals: the USB
// adapter vanishing while the port is open and coming back, floods and hostile bytes,
// an address answer a megabyte long, and ten thousand picks in the port list.

#include "tst_faults_common.h"

#include "platform/link/serialcontrol.h"
#include "platform/widgets/controls.h"
#include "platform/widgets/richtextbox.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>

using namespace faults;

namespace {

// Writes from the unit's side and waits until the program has taken every byte.
bool receive(PtyPeer& peer, const QByteArray& bytes) {
    if (!peer.write(bytes))
        return false;
    QDeadlineTimer deadline(Wait);
    do
        QTest::qWait(5);
    while (peer.waitingAtSlave() != 0 && !deadline.hasExpired());
    return peer.waitingAtSlave() == 0;
}

void enterLine(frmQuorlaneTest& w, const QString& text) {
    QTest::keyClicks(w.txtRS232Send, text);
    QTest::keyClick(w.txtRS232Send, Qt::Key_Return);
}

void pick(frmQuorlaneTest& w, int index) {
    w.cmboCOMMPort->setCurrentIndex(index);
    emit w.cmboCOMMPort->activated(index);
}

} // namespace

class FaultsSerialTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("QUORLANE_LOOPBACK_ONLY", "1"); }
    void adapterVanishesAndComesBack_data();
    void adapterVanishesAndComesBack();
    void vanishesMidFlood();
    void oddBytes_data();
    void oddBytes();
    void floodInOneBurst();
    void megabyteAddressAnswer();
    void tenThousandPicks();
};

void FaultsSerialTest::adapterVanishesAndComesBack_data() {
    QTest::addColumn<bool>("byButton");
    QTest::newRow("Enter in the send line") << false;
    QTest::newRow("command button") << true;
}

void FaultsSerialTest::adapterVanishesAndComesBack() {
    QFETCH(bool, byButton);
    AppHarness app;
    auto& w = app.window();
    QCOMPARE(app.com5->waitFor(5, Wait), QByteArray("rip\r\n"));
    QVERIFY(receive(*app.com5, "before\r\n"));
    QTRY_VERIFY(w.rtfReceive->Text().endsWith(QStringLiteral("before\r\n")));

    // The adapter is pulled: the line hangs up, then its device and its dosdevices link
    // go. The port closes by itself, quietly, and the program does not spin on the dead
    // device.
    app.com5->closeMaster();
    QTRY_VERIFY(!w.MSComm1->PortOpen());
    app.com5.reset();
    QVERIFY(app.home.unlinkCom(5));
    QVERIFY2(cpuWhileIdle(1000) < 0.5, "busy while the device is gone");
    QVERIFY(app.messages->texts.isEmpty());

    const QString procedure =
        byButton ? QStringLiteral("btnTest_Click") : QStringLiteral("txtRS232Send_KeyPress");
    const QByteArray line = byButton ? w.btnTest[0]->text().toLatin1() : QByteArray("rdp");
    auto send = [&] {
        if (byButton)
            w.btnTest[0]->click();
        else
            enterLine(w, QString::fromLatin1(line));
    };
    // A send while it is gone: one report, nothing else.
    send();
    QCOMPARE(app.messages->texts.size(), 1);
    QVERIFY(app.messages->texts[0].endsWith(QStringLiteral("Active Control: ") + procedure));
    QCOMPARE(w.txtRS232Send->Text(), QString());
    QVERIFY(!w.MSComm1->PortOpen());

    // It is plugged in again (a new device behind the same link): the next send opens
    // the port and goes out; what the unit sends lands after what came before.
    PtyPeer back;
    QVERIFY(back.linkAs(app.home, 5));
    send();
    QCOMPARE(back.waitFor(line.size() + 2, Wait), line + "\r\n");
    QVERIFY(w.MSComm1->PortOpen());
    QCOMPARE(app.messages->texts.size(), 1);
    QVERIFY(receive(back, "after\r\n"));
    QTRY_COMPARE(w.rtfReceive->Text(), QStringLiteral("\r\n\r\nbefore\r\nafter\r\n"));
    QTRY_COMPARE(app.logBytes(), QByteArray("\r\n\r\nbefore\r\nafter\r\n"));
}

void FaultsSerialTest::vanishesMidFlood() {
    AppHarness app;
    auto& w = app.window();
    QCOMPARE(app.com5->waitFor(5, Wait), QByteArray("rip\r\n"));
    // The unit is cut off in the middle of a megabyte, mid-line: what the program got
    // before is shown and logged whole, nothing twice, nothing garbled.
    const QByteArray flood = hostileBytes(1 << 20, 3) + "rdp #000001 dew po";
    QVERIFY(app.com5->write(flood));
    app.com5->closeMaster();
    QVERIFY(app.home.unlinkCom(5));
    QTRY_VERIFY(!w.MSComm1->PortOpen());
    const QString got = w.rtfReceive->Text();
    QVERIFY(got.size() > 4);
    QVERIFY(asBoxText("\r\n\r\n" + flood).startsWith(got));
    QTRY_COMPARE(app.logBytes(), got.toLatin1());
    QVERIFY(app.messages->texts.isEmpty());
}

void FaultsSerialTest::oddBytes_data() {
    QTest::addColumn<QList<QByteArray>>("pieces");
    // Each piece is received as an event of its own.
    QTest::newRow("lone CR") << QList<QByteArray>{"a\rb", "\r", "c"};
    QTest::newRow("lone LF") << QList<QByteArray>{"a\nb", "\n", "c\n\n"};
    QTest::newRow("CR LF split") << QList<QByteArray>{"a\r", "\nb\r", "\n", "\r", "\r\n"};
    QTest::newRow("LF CR") << QList<QByteArray>{"a\n\rb\n", "\r"};
    QTest::newRow("NUL") << QList<QByteArray>{QByteArray("a\0b", 3), QByteArray(5, '\0')};
    QByteArray high;
    for (int c = 0x80; c <= 0xFF; ++c)
        high += char(c);
    QTest::newRow("0x80 to 0xFF") << QList<QByteArray>{high, high.right(1)};
}

void FaultsSerialTest::oddBytes() {
    QFETCH(QList<QByteArray>, pieces);
    AppHarness app;
    auto& w = app.window();
    QCOMPARE(app.com5->waitFor(5, Wait), QByteArray("rip\r\n"));
    QByteArray sent = "\r\n\r\n";
    for (const QByteArray& piece : pieces) {
        QVERIFY(receive(*app.com5, piece));
        sent += piece;
        QTRY_COMPARE(w.rtfReceive->Text(), asBoxText(sent));
        // The serial path saves the box: the file holds exactly what the box shows.
        QTRY_COMPARE(app.logBytes(), asBoxText(sent).toLatin1());
    }
    QCOMPARE(w.rtfReceive->SelStart(), w.rtfReceive->textLength());
    QVERIFY(app.messages->texts.isEmpty());
}

void FaultsSerialTest::floodInOneBurst() {
    AppHarness app;
    auto& w = app.window();
    QCOMPARE(app.com5->waitFor(5, Wait), QByteArray("rip\r\n"));
    const QByteArray flood = hostileBytes(10 * 1024 * 1024);
    QVERIFY(receive(*app.com5, flood));
    const QString expected = asBoxText("\r\n\r\n" + flood);
    QTRY_COMPARE_WITH_TIMEOUT(w.rtfReceive->textLength(), std::int64_t(expected.size()), Wait);
    QVERIFY(w.rtfReceive->Text() == expected);
    QTRY_VERIFY(app.logBytes() == expected.toLatin1());
    QVERIFY(w.MSComm1->PortOpen());
    QVERIFY(app.messages->texts.isEmpty());
    // Still answering afterwards.
    enterLine(w, QStringLiteral("q"));
    QCOMPARE(app.com5->waitFor(3, Wait), QByteArray("q\r\n"));
}

void FaultsSerialTest::megabyteAddressAnswer() {
    AppHarness app;
    auto& w = app.window();
    QCOMPARE(app.com5->waitFor(5, Wait), QByteArray("rip\r\n"));
    // An answer whose first field never ends, then one buried after a megabyte of text,
    // then a megabyte of fields each longer than the stretch of the box that is searched.
    const QByteArray endless = "IP: " + QByteArray(1 << 20, '7');
    const QByteArray buried = QByteArray(1 << 20, 'x') + "IP: 10.1.2.3.\r\n";
    const QByteArray dotted = "IP: " + (QByteArray(60, '1') + ".").repeated(17000) + "\r\n";
    QByteArray sent = "\r\n\r\n";
    for (const QByteArray& answer : {endless, buried, dotted}) {
        QVERIFY(receive(*app.com5, answer));
        sent += answer;
        QTRY_COMPARE_WITH_TIMEOUT(w.rtfReceive->textLength(), std::int64_t(asBoxText(sent).size()),
                                  Wait);
    }
    QVERIFY(w.rtfReceive->Text() == asBoxText(sent));
    QTRY_VERIFY(app.logBytes() == asBoxText(sent).toLatin1());
    // Only the last 50 characters of the box are searched: the buried answer was taken
    // when it came; of the long one no field ever fitted there whole.
    QCOMPARE(w.remoteOctets[0], QStringLiteral("10"));
    QCOMPARE(w.txtTcp4->Text(), QStringLiteral("3"));
    QVERIFY(app.messages->texts.isEmpty());
}

void FaultsSerialTest::tenThousandPicks() {
    // COM 1 to 19 all exist as links: COM 5 to the pseudo-terminal, the rest to nothing,
    // so no pick ever reaches a real device of this machine.
    AppHarness::Options o;
    o.beforeStart = [](ScratchHome& home) {
        for (int n = 1; n <= 19; ++n)
            if (n != 5)
                home.linkMissing(n);
    };
    AppHarness app(o);
    auto& w = app.window();
    w.Timer1->stop();
    QCOMPARE(app.com5->waitFor(5, Wait), QByteArray("rip\r\n"));
    const int descriptors = openDescriptors();

    int failures = 0;
    std::mt19937 rng(5);
    const double cpuBefore = cpuSeconds();
    for (int i = 0; i < 10000; ++i) {
        // Every 25th pick is COM 5 (list index 4), the others anywhere else in the list.
        // (Opening the pseudo-terminal costs Qt's lock file a sync to disk each time.)
        const int index = i % 25 == 0 ? 4 : int(5 + rng() % 18) % 19;
        pick(w, index);
        failures += index == 4 ? 0 : 1;
        if (i % 500 == 0)
            QCoreApplication::processEvents();
    }
    QCOMPARE(app.messages->texts.size(), failures);
    for (const QString& text : std::as_const(app.messages->texts))
        QVERIFY(text.endsWith(QStringLiteral("Active Control: InitCommPort")));
    // Ending on COM 5: open, its captions, and data in both directions.
    pick(w, 4);
    QVERIFY(w.MSComm1->PortOpen());
    QCOMPARE(w.lblConnect[2]->text(), QStringLiteral("Connect to com 5"));
    QCOMPARE(w.MSComm1->CommPort(), std::int16_t(5));
    enterLine(w, QStringLiteral("rdp"));
    QCOMPARE(app.com5->waitFor(5, Wait), QByteArray("rdp\r\n"));
    QVERIFY(receive(*app.com5, "rdp #000001 dew point -12.4 C\r\n"));
    QTRY_VERIFY(app.logBytes().endsWith("rdp #000001 dew point -12.4 C\r\n"));
    // No descriptor or lock left behind by ten thousand opens and failures.
    QTRY_COMPARE(openDescriptors(), descriptors);
    qInfo("10000 picks: %d failed, %.2f s CPU", failures, cpuSeconds() - cpuBefore);
}

QTEST_MAIN(FaultsSerialTest)
#include "tst_faults_serial.moc"
