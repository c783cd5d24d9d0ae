// Start-up of the main window: the log started afresh, the port list, serial port 5
// opened and greeted, and the failure path that falls back to a TCP/IP connect. The
// window as the operator meets it: what each control announces to a screen reader, and
// where a click lands. And its end: closing the window, or a termination signal, closes
// everything it opened.

#include "tst_faults_common.h"

#include "commands/commands.h"
#include "help/helpwindows.h"
#include "log/filebuttons.h"
#include "platform/base/paths.h"
#include "platform/base/process.h"
#include "platform/link/serialcontrol.h"
#include "platform/widgets/controls.h"
#include "platform/widgets/richtextbox.h"
#include "shared/errortrap.h"
#include "shared/globals.h"
#include "shared/vocabulary.h"
#include "support/appharness.h"
#include "support/testutil.h"
#include "tcp/tcplink.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QWindow>
#include <QtTest>

#include <csignal>

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void greetsTheUnitAndStartsTheLog();
    void oldLogDoesNotSurvive();
    void missingPortFallsBackToTcp();
    void missingPortWithUnreachableUnitReportsOnce();
    void logThatCannotBeCreatedLeavesListEmpty_data();
    void logThatCannotBeCreatedLeavesListEmpty();
    void controlsAnnounceWhatTheyShow();
    void clicksReachTheControlsUnderCaptions();
    void closeEndsTheRun();
    void signalWhileAReportIsOpen_data();
    void signalWhileAReportIsOpen();
    void signalEndsAConnectWait();
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
    QCOMPARE(app.com5->sentBeforeMarker(*w.MSComm1), QByteArray("rip\r\n"));
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
    QCOMPARE(w.cmboCOMMPort->currentText(), QStringLiteral("Com 5"));
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

void StartupTest::logThatCannotBeCreatedLeavesListEmpty_data() {
    QTest::addColumn<bool>("homeless"); // none of the settings that name the home is set
    QTest::addColumn<QString>("says");  // what the failure says, a pattern
    QTest::newRow("drive_c is a file") << false
                                       << "^Error Com 5 at start-up: Path not found: "
                                          ".*/drive_c/ZEL\\.txt \\(Not a directory\\)";
    QTest::newRow("no home") << true
                             << "C:\\\\ZEL\\.txt: none of QUORLANE_HOME, XDG_DATA_HOME "
                                "and HOME is set";
}

void StartupTest::logThatCannotBeCreatedLeavesListEmpty() {
    QFETCH(bool, homeless);
    QFETCH(QString, says);
    const QByteArray home = qgetenv("HOME"), dataHome = qgetenv("XDG_DATA_HOME");
    const QString underRoot = QStringLiteral("/.local/share/quorlane");
    const bool wasUnderRoot = QFileInfo::exists(underRoot);
    AppHarness::Options o;
    o.fastClock = true;
    o.beforeStart = [homeless](ScratchHome& scratch) {
        if (homeless)
            for (const char* name : paths::HomeSettings)
                qunsetenv(name);
        // drive_c is a plain file, so nothing can be created inside it.
        QFile f(scratch.path() + QStringLiteral("/drive_c"));
        QVERIFY(f.open(QIODevice::WriteOnly));
    };
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(says));
    AppHarness app(o);
    qputenv("HOME", home);
    if (!dataHome.isEmpty())
        qputenv("XDG_DATA_HOME", dataHome);
    QCOMPARE(QFileInfo::exists(underRoot), wasUnderRoot);
    auto& w = app.window();
    QCOMPARE(w.cmboCOMMPort->count(), 0);
    QVERIFY(!w.MSComm1->PortOpen());
    QCOMPARE(w.lblConnect[2]->text(), QStringLiteral("Error Com 5"));
    QCOMPARE(w.lblConnect[3]->text(), QStringLiteral("Error Com 5"));
    QCOMPARE(w.logFilePath, QStringLiteral("C:\\ZEL.txt"));
    QVERIFY(!appFolder.isEmpty());
    // Nothing was sent on the serial line (never opened, so anything sent would be
    // there already); the fallback connect was attempted.
    QCOMPARE(app.com5->readAvailable(), QByteArray());
    QCOMPARE(app.socket->connects.size(), 1);
}

void StartupTest::controlsAnnounceWhatTheyShow() {
    AppHarness app;
    auto& w = app.window();
    struct Expect {
        QWidget* control;
        QString description;
        QString name; // empty: the caption the control shows
    };
    QList<Expect> expected = {
        {w.txtTcp1, QStringLiteral("txtTcp1"), QStringLiteral("First octet of the unit's address")},
        {w.txtRS232Send, QStringLiteral("txtRS232Send"), QStringLiteral("Serial send line")},
        {w.txtSend, QStringLiteral("txtSend"), QStringLiteral("TCP/IP send line")},
    };
    for (int i = 0; i < 5; ++i)
        expected.append({w.btnConnect[i], QStringLiteral("btnConnect(%1)").arg(i), {}});
    for (int i = 0; i < 6; ++i) {
        expected.append({w.btnTest[i], QStringLiteral("btnTest(%1)").arg(i), {}});
        expected.append({w.lblConnect[i], QStringLiteral("lblConnect(%1)").arg(i), {}});
    }
    for (int i = 1; i <= 8; ++i)
        expected.append({w.label1[i], QStringLiteral("label1(%1)").arg(i), {}});
    expected.append({w.btnSave[0], QStringLiteral("btnSave(0)"), {}});
    expected.append({w.btnSave[1], QStringLiteral("btnSave(1)"), {}});
    expected.append({w.Label4, QStringLiteral("Label4"), {}});

    // Captions as created, as start-up leaves them, and as the program rewrites them.
    auto check = [&] {
        for (const Expect& e : expected) {
            const auto* label = qobject_cast<QLabel*>(e.control);
            const auto* button = qobject_cast<QPushButton*>(e.control);
            const QString shown = label ? label->text() : button ? button->text() : e.name;
            QCOMPARE(announcedDescription(e.control), e.description);
            QCOMPARE(announcedName(e.control), e.name.isEmpty() ? shown : e.name);
        }
    };
    check();
    QCOMPARE(announcedName(w.lblConnect[2]), QStringLiteral("Connect to com 5"));
    // The port list is announced by the port its field shows.
    QCOMPARE(announcedDescription(w.cmboCOMMPort), QStringLiteral("cmboCOMMPort"));
    QCOMPARE(announcedName(w.cmboCOMMPort), QStringLiteral("Com 5"));
    w.commands().Timer1_Timer();
    QCOMPARE(announcedName(w.lblConnect[4]), QStringLiteral("Serial Port Active"));
    QCOMPARE(announcedName(w.lblConnect[1]),
             QStringLiteral("Disconnect from TCP/IP: 192.168.1.100"));
    check();
    w.serialStatus().set(QStringLiteral("Error Com 7"));
    QCOMPARE(announcedName(w.lblConnect[3]), QStringLiteral("Error Com 7"));
    check();

    // Label4's three dots show in the gaps between the octet boxes, none behind a box.
    const QImage strip = w.Label4->grab().toImage();
    int dots = 0;
    for (int x = 0, inDot = 0; x < strip.width(); ++x) {
        int ink = 0;
        for (int y = 0; y < strip.height(); ++y)
            ink |= qGray(strip.pixel(x, y)) < 128;
        for (QWidget* box : {w.txtTcp1, w.txtTcp2, w.txtTcp3, w.txtTcp4})
            QVERIFY(!ink || !box->geometry().contains(w.Label4->x() + x, box->y()));
        dots += ink && !inDot;
        inDot = ink;
    }
    QCOMPARE(dots, 3);
}

void StartupTest::clicksReachTheControlsUnderCaptions() {
    AppHarness app;
    auto& w = app.window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    // Real mouse events through the window: the window system's hit test decides which
    // control gets them. The filter notes who that is and keeps the click from acting.
    struct Catcher : QObject {
        QWidget* pressed = nullptr;
        bool eventFilter(QObject* o, QEvent* e) override {
            if (!o->isWidgetType())
                return false; // the window itself, on its way to the widget under the mouse
            switch (e->type()) {
            case QEvent::MouseButtonPress:
                if (!pressed)
                    pressed = static_cast<QWidget*>(o);
                return true;
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
                return true;
            default:
                return false;
            }
        }
    } catcher;
    qApp->installEventFilter(&catcher);

    QList<QWidget*> controls = {w.btnConnect[0], w.btnConnect[1], w.btnConnect[2], w.btnConnect[3],
                                w.btnConnect[4], w.cmboCOMMPort,  w.txtTcp1,       w.txtTcp2,
                                w.txtTcp3,       w.txtTcp4,       w.txtRS232Send,  w.btnSave[0],
                                w.btnSave[1],    w.btnTest[5],    w.rtfReceive};
    auto rectOf = [&](QWidget* c) { return QRect(c->mapTo(&w, QPoint(0, 0)), c->size()); };
    // Where two controls overlap (the polling switch's lowest rows and the receive box),
    // the one drawn on top takes the click.
    const QObjectList stacking = w.Frame1->children();
    auto coveredByAnother = [&](QWidget* control, const QPoint& p) {
        for (QWidget* other : controls) {
            if (stacking.indexOf(other) > stacking.indexOf(control) && rectOf(other).contains(p))
                return true;
        }
        return false;
    };
    for (QWidget* control : controls) {
        const QRect r = rectOf(control);
        // The edge rows and columns, where the captions above and below overlap.
        QList<QPoint> points;
        for (int x : {r.left(), r.left() + 1, r.center().x(), r.right() - 1, r.right()})
            points << QPoint(x, r.top()) << QPoint(x, r.top() + 2) << QPoint(x, r.bottom())
                   << QPoint(x, r.bottom() - 2);
        for (int y : {r.top() + 3, r.center().y(), r.bottom() - 3})
            points << QPoint(r.left(), y) << QPoint(r.right(), y);
        for (const QPoint& p : points) {
            if (coveredByAnother(control, p))
                continue;
            catcher.pressed = nullptr;
            QTest::mousePress(w.windowHandle(), Qt::LeftButton, {}, p);
            QTest::mouseRelease(w.windowHandle(), Qt::LeftButton, {}, p);
            const QString where = announcedDescription(control) +
                                  QStringLiteral(" at %1,%2 went to ").arg(p.x()).arg(p.y()) +
                                  (catcher.pressed ? announcedDescription(catcher.pressed)
                                                   : QStringLiteral("nothing"));
            QVERIFY2(catcher.pressed &&
                         (catcher.pressed == control || control->isAncestorOf(catcher.pressed)),
                     qPrintable(where));
        }
    }
    qApp->removeEventFilter(&catcher);
}

void StartupTest::closeEndsTheRun() {
    LoopbackServer server;
    faults::TcpApp t(server);
    AppHarness& app = t.app;
    auto& w = app.window();
    QCOMPARE(app.com5->waitFor(5, 3000), QByteArray("rip\r\n"));
    QVERIFY(t.connect());
    QVERIFY(server.waitForBytes(3, 3000));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    // Both help windows and the viewer open, polling on.
    QTemporaryDir folder;
    QVERIFY(QFile::copy(QStringLiteral(QUORLANE_HELP_DOCUMENT),
                        folder.filePath(QStringLiteral("NetworkTCPSetup.rtf"))));
    appFolder = folder.path();
    w.btnConnect_Click(2);
    w.btnConnect_Click(4);
    app.dialogs->answers.push_back(app.logPath());
    w.fileButtons().btnSave_Click(1);
    QPointer<QWidget> viewer = w.fileButtons().viewer();
    QPointer<QWidget> network = w.helpWindows().network();
    QPointer<QWidget> serial = w.helpWindows().serial();
    QVERIFY(viewer && network && serial);
    w.commands().btnTest_Click(5);
    QVERIFY(server.waitForBytes(6, 3000)); // "rip" and the first polled command

    // Just before the close the unit speaks on both links: a serial line whose event the
    // pacing holds back, one still in the driver, and a TCP/IP chunk not taken in yet.
    const auto shows = [&](const QByteArray& text) {
        return w.rtfReceive->Text().contains(QString::fromLatin1(text));
    };
    QByteArray heldBack;
    for (int i = 0; i < 20 && heldBack.isEmpty(); ++i) {
        const QByteArray first = "rsp #" + QByteArray::number(i) + " first\r\n";
        const QByteArray second = "rsp #" + QByteArray::number(i) + " held back\r\n";
        QVERIFY(app.com5->write(first));
        QVERIFY(QTest::qWaitFor([&] { return shows(first); }, 3000));
        QVERIFY(app.com5->write(second));
        QVERIFY(
            QTest::qWaitFor([&] { return w.MSComm1->receivePending() || shows(second); }, 3000));
        if (w.MSComm1->receivePending())
            heldBack = second;
    }
    QVERIFY(!heldBack.isEmpty());
    const QByteArray inDriver = "rco #000009 in the driver\r\n";
    QVERIFY(app.com5->write(inDriver));
    QVERIFY(app.com5->waitUntilWaitingAtSlave(inDriver.size(), 3000));
    const QByteArray chunk = "rct #000010 not taken in";
    QVERIFY(server.send(chunk));
    QVERIFY(server.waitUntilTaken(3000));

    // Closed as the window frame's close button closes it, in the running program: its
    // event loop ends, with status 0.
    QTimer::singleShot(0, &w, [&] { w.windowHandle()->close(); });
    QTimer stuck; // should the loop not end, the test fails instead of hanging
    stuck.callOnTimeout([] { QCoreApplication::exit(1); });
    stuck.start(10000);
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!w.isVisible());
    QVERIFY(!w.Timer1->isActive());
    QTRY_VERIFY(viewer.isNull() && network.isNull() && serial.isNull());
    QVERIFY(!w.MSComm1->PortOpen());
    SerialControl other;
    other.setCommPort(5);
    QVERIFY(ErrorTrap::quietly([&] { other.setPortOpen(true); }));
    QVERIFY(server.waitForClientClosed(3000));

    const QByteArray log = app.logBytes();
    QVERIFY2(log.contains(heldBack) && log.contains(inDriver) && log.contains(chunk + "\r\n"),
             log.constData());
    QCOMPARE(w.rtfReceive->Text(), QString::fromLatin1(log));
    // Nothing goes out afterwards (polling would send once a second), and nothing is
    // reported: the timer is stopped, the port and the connection are closed, so all
    // that was ever sent has arrived.
    const QByteArray sent = server.receivedTotal();
    QVERIFY(handlePostedEvents());
    QVERIFY(!w.Timer1->isActive() && !w.MSComm1->PortOpen());
    QCOMPARE(app.com5->readAvailable(), QByteArray());
    QCOMPARE(server.receivedTotal(), sent);
    QVERIFY(app.messages->texts.isEmpty());
    QCOMPARE(app.logBytes(), log);
}

void StartupTest::signalWhileAReportIsOpen_data() {
    QTest::addColumn<bool>("modal");
    QTest::newRow("recorded report") << false;
    QTest::newRow("modal message box") << true;
}

void StartupTest::signalWhileAReportIsOpen() {
    QFETCH(bool, modal);
    ScratchHome home;
    PtyPeer com5;
    QVERIFY(com5.linkAs(home, 5));
    PlatformParts parts;
    auto recording = std::make_shared<RecordingMessageBox>();
    if (!modal)
        parts.messageBox = recording;
    parts.makeSocket = [] { return std::make_unique<RecordingSocketControl>(); };
    frmQuorlaneTest w(parts);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    int requests = 0;
    TerminationRequests termination([&](int signal) {
        QCOMPARE(signal, SIGTERM);
        ++requests;
        w.requestClose();
    });

    // The signal comes while the report of a failed send is open.
    bool waitedForTheReport = false;
    bool sawTheBox = false;
    if (modal) {
        QTimer::singleShot(0, &w, [&] {
            sawTheBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr;
            ::raise(SIGTERM);
        });
        // Should the box stay open, the test fails instead of hanging.
        QTimer::singleShot(10000, &w, [] {
            if (QWidget* box = QApplication::activeModalWidget())
                box->close();
        });
    } else {
        recording->whileOpen = [&](const QString&) {
            ::raise(SIGTERM);
            QVERIFY(QTest::qWaitFor([&] { return requests > 0; }, 3000));
            waitedForTheReport = !w.isShutDown() && w.isVisible() && !w.Timer1->isActive();
        };
    }
    w.tcpLink().SendTcp(QStringLiteral("rdp"));
    if (modal)
        QVERIFY(sawTheBox);
    else
        QVERIFY(waitedForTheReport);

    // Once the report has returned the window closes, its timer stays off.
    QTRY_VERIFY(w.isShutDown());
    QVERIFY(!w.isVisible());
    QVERIFY(!w.Timer1->isActive());
    QVERIFY(!w.MSComm1->PortOpen());
    QCOMPARE(requests, 1);
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    if (!modal)
        QCOMPARE(recording->texts.size(), 1);
}

void StartupTest::signalEndsAConnectWait() {
    // A clock that stands still: the connect's two-second wait lasts until the window
    // shuts down (or, should it not, until the test moves the clock on).
    auto clock = std::make_shared<TestClock>();
    AppHarness::Options o;
    o.clock = clock;
    AppHarness app(o);
    auto& w = app.window();
    int requests = 0;
    TerminationRequests termination([&](int) {
        ++requests;
        w.requestClose();
    });
    QTimer::singleShot(50, &w, [] { ::raise(SIGINT); });
    QTimer::singleShot(10000, &w, [&] { clock->now += 10; });
    w.btnConnect_Click(0);
    QCOMPARE(requests, 1);
    QVERIFY(w.isShutDown());
    // The greeting after the wait fails on the closed socket, and nobody is told.
    QVERIFY(app.socket->sent.isEmpty());
    QVERIFY(app.messages->texts.isEmpty());
    QCOMPARE(w.tcpConnected, False);
    QVERIFY(!w.Timer1->isActive());
}

QTEST_MAIN(StartupTest)
#include "tst_app_startup.moc"
