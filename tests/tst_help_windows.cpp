// The two set-up help windows, opened from the main window: one instance each, modeless
// and without an owner; the network window reads its document from the program's folder
// each time it is loaded; the serial window's texts, picture and inert button; and a
// help window that cannot be opened leaves the TCP/IP link alone.

#include "address/remoteaddress.h"
#include "help/helpwindows.h"
#include "platform/widgets/controls.h"
#include "platform/widgets/richtextbox.h"
#include "shared/globals.h"
#include "shared/look.h"
#include "support/appharness.h"
#include "support/loopbackserver.h"
#include "support/testutil.h"
#include "tcp/tcplink.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {

template <class Window> QList<Window*> openWindows() {
    QList<Window*> out;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<Window*>(w); window && window->isVisible())
            out << window;
    }
    return out;
}

const char* const FirstLine = "1. Right Click Network and Click on Open Network Connections";

// A program folder holding a copy of the network help document.
struct ProgramFolder {
    ProgramFolder() {
        QFile::copy(QStringLiteral(QUORLANE_HELP_DOCUMENT), document());
        appFolder = dir.path();
    }
    QString document() const { return dir.path() + QStringLiteral("/NetworkTCPSetup.rtf"); }
    bool write(const QByteArray& content) const {
        QFile f(document());
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               f.write(content) == content.size();
    }
    QTemporaryDir dir;
};

void closeAndUnload(QWidget* window) {
    QPointer<QWidget> guard(window);
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(guard.isNull());
}

// Modeless, without an owner, sizable, dark teal, with its own icon.
void checkWindow(QWidget* w, const char* caption) {
    QCOMPARE(w->windowTitle(), QString::fromLatin1(caption));
    QVERIFY(w->isWindow() && w->parentWidget() == nullptr);
    QCOMPARE(w->windowModality(), Qt::NonModal);
    QVERIFY(w->windowFlags() & Qt::WindowMaximizeButtonHint);
    QVERIFY(w->autoFillBackground());
    QCOMPARE(w->palette().color(QPalette::Window), QColor(0, 64, 64));
    QVERIFY(!w->windowIcon().pixmap(16, 16).isNull());
    QVERIFY(!w->windowIcon().pixmap(32, 32).isNull());
}

} // namespace

class HelpWindowsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("QUORLANE_LOOPBACK_ONLY", "1"); }
    void serialWindow();
    void networkWindowReadsItsDocument();
    void missingDocumentLeavesTheLinkUp();
    void picturesAndIcons();
};

void HelpWindowsTest::serialWindow() {
    auto clock = std::make_shared<TestClock>();
    AppHarness::Options o;
    o.clock = clock;
    AppHarness app(o);
    auto& w = app.window();
    QCOMPARE(app.com5->waitFor(5, 3000), QByteArray("rip\r\n"));
    w.btnConnect[2]->click();
    w.btnConnect[2]->click();
    QCOMPARE(openWindows<frmRS232_485SetUp>().size(), 1);
    frmRS232_485SetUp* help = w.helpWindows().serial();
    QCOMPARE(openWindows<frmRS232_485SetUp>().constFirst(), help);
    checkWindow(help, "RS232/485 Setup");

    struct Row {
        int index;
        const char* text;
        int left, top;
        double size;
        bool yellow;
    };
    const Row rows[] = {
        {3, "For Quorlane_Test just click on the com # to connect ", 285, 0, 14.4, true},
        {4, "For Quorlane_Test just click on the com # to connect ", 285, 30, 14.4, false},
        {14, "RS232/485", 300, 570, 15.6, true},
        {15, "RS232/485", 300, 600, 15.6, false},
        {0, "For Hyper Terminal", 270, 4770, 14.4, true},
        {1, "For Hyper Terminal", 270, 4800, 14.4, false},
        {2, "Baud Rate:    19200", 570, 5115, 14.4, true},
        {5, "Baud Rate:    19200", 570, 5145, 14.4, false},
        {6, "Data bits:      8", 570, 5460, 14.4, true},
        {7, "Data bits:      8", 570, 5490, 14.4, false},
        {8, "Parity:          None", 570, 5805, 14.4, true},
        {9, "Parity:          None", 570, 5835, 14.4, false},
        {10, "Stop bits:      1", 570, 6150, 14.4, true},
        {11, "Stop bits:      1", 570, 6180, 14.4, false},
        {12, "Flow control: None", 570, 6495, 14.4, true},
        {13, "Flow control: None", 570, 6525, 14.4, false},
    };
    for (const Row& r : rows) {
        const QLabel* l = help->label1[r.index];
        QVERIFY(l);
        QCOMPARE(l->text(), QString::fromLatin1(r.text));
        QCOMPARE(l->pos(), look::twips(r.left, r.top, 0, 0).topLeft());
        QCOMPARE(l->size(), l->sizeHint());
        QCOMPARE(l->font().family(), QStringLiteral("Tahoma"));
        QCOMPARE(l->font().pointSizeF(), r.size);
        QCOMPARE(l->palette().color(QPalette::WindowText),
                 r.yellow ? QColor(255, 255, 0)
                          : QApplication::palette().color(QPalette::WindowText));
        QCOMPARE(l->autoFillBackground(), r.index == 15);
    }
    QCOMPARE(help->label1[15]->palette().color(QPalette::Window),
             QApplication::palette().color(QPalette::Highlight));

    QCOMPARE(help->Image1->pixmap().size(), QSize(294, 276));
    QCOMPARE(help->Image1->geometry(),
             QRect(look::twips(780, 372, 0, 0).topLeft(), QSize(294, 276)));

    // The copy of the set-up button does nothing at all.
    QCOMPARE(help->btnConnect2->text(), QStringLiteral("RS232/485 Setup"));
    const int windows = int(QApplication::topLevelWidgets().size());
    help->btnConnect2->click();
    QVERIFY(handlePostedEvents());
    QCOMPARE(int(QApplication::topLevelWidgets().size()), windows);
    QVERIFY(app.messages->texts.isEmpty());
    QVERIFY(app.socket->connects.isEmpty());
    QCOMPARE(app.socket->closes, 0);
    QCOMPARE(clock->reads, 0);
    QCOMPARE(app.com5->sentBeforeMarker(*w.MSComm1), QByteArray());

    // Closing unloads it; the next click opens it afresh, the same as before.
    closeAndUnload(help);
    w.btnConnect[2]->click();
    QCOMPARE(openWindows<frmRS232_485SetUp>().size(), 1);
    QVERIFY(w.helpWindows().serial() != nullptr);
    QCOMPARE(w.helpWindows().serial()->label1[8]->text(), QStringLiteral("Parity:          None"));
    QCOMPARE(w.tcpConnected, False);
    QCOMPARE(app.socket->closes, 0);
}

void HelpWindowsTest::networkWindowReadsItsDocument() {
    AppHarness app;
    auto& w = app.window();
    ProgramFolder folder;

    w.btnConnect[4]->click();
    w.btnConnect[4]->click();
    QCOMPARE(openWindows<frmNetWorkSetUp>().size(), 1);
    frmNetWorkSetUp* help = w.helpWindows().network();
    checkWindow(help, "Network (TCP/IP) Setup");
    // Our document, not the window's creation line.
    const QString text = help->RichTextBox1->Text();
    QVERIFY2(text.startsWith(QLatin1String(FirstLine)), qPrintable(text.left(80)));
    QVERIFY(text.contains(QStringLiteral("Internet Protocol Version 4")));

    // An edit on disk shows only once the window is loaded again.
    QVERIFY(folder.write("{\\rtf1\\ansi Edited on disk\\par}"));
    w.btnConnect[4]->click();
    QCOMPARE(help->RichTextBox1->Text(), text);
    closeAndUnload(help);
    w.btnConnect[4]->click();
    QCOMPARE(openWindows<frmNetWorkSetUp>().size(), 1);
    QVERIFY(w.helpWindows().network()->RichTextBox1->Text().startsWith(
        QStringLiteral("Edited on disk")));

    // Reopened at once after closing, before the closed window is gone.
    QVERIFY(folder.write("{\\rtf1\\ansi Edited again\\par}"));
    w.helpWindows().network()->close();
    w.btnConnect[4]->click();
    QCOMPARE(openWindows<frmNetWorkSetUp>().size(), 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(openWindows<frmNetWorkSetUp>().size(), 1);
    QVERIFY(
        w.helpWindows().network()->RichTextBox1->Text().startsWith(QStringLiteral("Edited again")));
    QVERIFY(app.messages->texts.isEmpty());
}

void HelpWindowsTest::missingDocumentLeavesTheLinkUp() {
    LoopbackServer server;
    AppHarness::Options o;
    o.recordingSocket = false;
    o.remotePort = server.port();
    o.fastClock = true;
    AppHarness app(o);
    auto& w = app.window();
    QTemporaryDir empty;
    appFolder = empty.path();
    w.address().ParseIpAnswer(QStringLiteral("IP: 127.0.0.1."));
    w.btnConnect[0]->click();
    QVERIFY(server.waitForBytes(3, 5000));

    w.btnConnect[4]->click();
    QCOMPARE(app.messages->texts.size(), 1);
    QVERIFY(app.messages->texts[0].endsWith(QStringLiteral("Active Control: btnConnect_Click")));
    QVERIFY(openWindows<frmNetWorkSetUp>().isEmpty());
    QVERIFY(!w.helpWindows().network());
    // The link is as it was: still up, and the TCP/IP line still sends.
    QCOMPARE(w.tcpConnected, True);
    QVERIFY(w.txtSend->Visible() && !w.txtRS232Send->Visible());
    QCOMPARE(w.Winsock1->state(), SocketControl::State::Connected);
    w.tcpLink().SendTcp(QStringLiteral("rdp"));
    QVERIFY(server.waitForBytes(6, 5000));
    QCOMPARE(server.received(), QByteArray("riprdp"));
    QCOMPARE(server.openConnectionCount(), 1);
    QCOMPARE(app.messages->texts.size(), 1);
}

void HelpWindowsTest::picturesAndIcons() {
    // Image1: 294 x 276, 8 bits per channel, colour type 2 (RGB without alpha).
    QFile picture(QStringLiteral(":/look/image1.png"));
    QVERIFY(picture.open(QIODevice::ReadOnly));
    const QByteArray head = picture.read(26);
    QCOMPARE(head.mid(12, 4), QByteArray("IHDR"));
    QCOMPARE(qFromBigEndian<quint32>(head.constData() + 16), 294u);
    QCOMPARE(qFromBigEndian<quint32>(head.constData() + 20), 276u);
    QCOMPARE(int(head[24]), 8);
    QCOMPARE(int(head[25]), 2);
    for (const char* icon : {":/look/network.png", ":/look/serial.png", ":/look/viewer.png"}) {
        const QImage image(QString::fromLatin1(icon));
        QCOMPARE(image.size(), QSize(32, 32));
    }
}

QTEST_MAIN(HelpWindowsTest)
#include "tst_help_windows.moc"
