// Faults on the TCP/IP link, on the real main window against real loopback sockets: the
// unit closing the connection while polling, a connect that never completes, a thousand
// connects and disconnects, floods and hostile bytes, an address answer a megabyte long.

#include "tst_faults_common.h"

#include "address/remoteaddress.h"
#include "platform/link/serialcontrol.h"
#include "platform/widgets/controls.h"
#include "platform/widgets/richtextbox.h"
#include "shared/vocabulary.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace faults;

namespace {

// A listener on 127.0.0.1 whose accept queue is full: it never accepts, and the system
// answers no further connection request, so a connect to it stays pending.
class FullListener {
public:
    FullListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            ::listen(fd_, 0) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
        // One connection fills a queue of length 0.
        filler.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        filled = filler.waitForConnected(Wait);
    }
    ~FullListener() {
        filler.abort();
        if (fd_ >= 0)
            ::close(fd_);
    }
    std::uint16_t port = 0;
    bool filled = false;

private:
    int fd_ = -1;
    QTcpSocket filler;
};

QByteArray pollWord(int step) {
    return vocabulary::word(vocabulary::PollingCycle[step - 1]).toLatin1();
}

} // namespace

class FaultsTcpTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("QUORLANE_LOOPBACK_ONLY", "1"); }
    void unitClosesWhilePolling();
    void connectNeverCompletes_data();
    void connectNeverCompletes();
    void thousandConnects();
    void oddBytes();
    void floodInOneBurst();
    void floodOnBothLinks();
    void megabyteAddressAnswer();
};

void FaultsTcpTest::unitClosesWhilePolling() {
    LoopbackServer server;
    TcpApp t(server);
    auto& w = t.app.window();
    QVERIFY(t.connect());
    QVERIFY(server.waitForBytes(3, Wait));
    w.Timer1->setInterval(10);
    w.btnTest[vocabulary::PollingSwitch]->click();
    QVERIFY(server.waitForBytes(3 + 3 * 3, Wait));

    // The unit says goodbye and closes; what it sent last is kept.
    QVERIFY(server.send("bye\r\n"));
    server.closeClient();
    QTRY_VERIFY_WITH_TIMEOUT(!t.app.messages->texts.isEmpty(), Wait);
    QVERIFY(w.rtfReceive->Text().contains(QStringLiteral("bye\r\n")));
    QVERIFY(t.app.logBytes().contains("bye\r\n"));

    // Every tick now fails its send: exactly one report per tick, and while a report is
    // open the timer rests, so reports never nest and no tick waits to be replayed.
    int ticks = 0, open = 0, deepest = 0, ticksWhileOpen = 0;
    QObject::connect(w.Timer1, &QTimer::timeout, &server, [&] { ++ticks; });
    t.app.messages->texts.clear();
    t.app.messages->whileOpen = [&](const QString&) {
        deepest = std::max(deepest, ++open);
        const int before = ticks;
        QTest::qWait(40);
        ticksWhileOpen += ticks - before;
        --open;
    };
    QVERIFY(waitUntil([&] { return t.app.messages->texts.size() >= 5; }));
    t.app.messages->whileOpen = nullptr;
    QTest::qWait(20);
    const int reports = int(t.app.messages->texts.size());
    QVERIFY2(reports >= 5, qPrintable(QString::number(reports)));
    QVERIFY(std::abs(reports - ticks) <= 1);
    QCOMPARE(deepest, 1);
    QCOMPARE(ticksWhileOpen, 0);
    for (const QString& text : std::as_const(t.app.messages->texts))
        QVERIFY(text.startsWith(QStringLiteral("Error Number: [40006] ")) &&
                text.endsWith(QStringLiteral("Active Control: SendTcp")));
    QCOMPARE(w.tcpConnected, True);

    // Polling off, disconnect, connect again: the new connection is greeted and polling
    // goes on with the step after the last one tried.
    w.btnTest[vocabulary::PollingSwitch]->click();
    w.btnConnect[1]->click();
    const int reportsBefore = int(t.app.messages->texts.size());
    const QByteArray next = pollWord(w.pollStep % 6 + 1);
    QVERIFY(t.connect());
    QTRY_COMPARE(server.connectionCount(), 2);
    w.btnTest[vocabulary::PollingSwitch]->click();
    QTRY_VERIFY(server.received().size() >= 6);
    QVERIFY(server.received().startsWith("rip" + next));
    QCOMPARE(int(t.app.messages->texts.size()), reportsBefore);
}

void FaultsTcpTest::connectNeverCompletes_data() {
    QTest::addColumn<int>("index");
    QTest::newRow("Connect TCP/IP") << 0;
    QTest::newRow("Change Remote Host TCP/IP") << 3;
}

void FaultsTcpTest::connectNeverCompletes() {
    QFETCH(int, index);
    FullListener blackHole;
    QVERIFY(blackHole.filled);
    LoopbackServer server;
    TcpApp t(server);
    auto& w = t.app.window();
    if (index == 3) {
        // From a live link: the change drops it and aims at the listener.
        QVERIFY(t.connect());
        QVERIFY(server.waitForBytes(3, Wait));
    }
    w.Winsock1->setRemotePort(blackHole.port);
    w.address().ParseIpAnswer(QStringLiteral("IP: 127.0.0.1."));

    // A second into the wait the connection is still pending and nothing has been
    // reported; then the wait ends. Waiting costs next to no processor time.
    t.clock->hold = true;
    bool pendingInTheWait = false;
    const double cpuBefore = cpuSeconds();
    QTimer::singleShot(1000, &server, [&] {
        pendingInTheWait = w.Winsock1->state() == SocketControl::State::Connecting &&
                           t.app.messages->texts.isEmpty();
        t.clock->now += 2;
    });
    const int before = int(t.app.messages->texts.size());
    w.btnConnect[index]->click();
    t.clock->hold = false;
    QVERIFY2(cpuSeconds() - cpuBefore < 0.5, "busy while waiting for the connection");
    QVERIFY(pendingInTheWait);
    QCOMPARE(int(t.app.messages->texts.size()), before + 1);
    QVERIFY(
        t.app.messages->texts.last().endsWith(QStringLiteral("Active Control: btnConnect_Click")));
    QCOMPARE(w.Winsock1->state(), SocketControl::State::Closed);
    QCOMPARE(w.tcpConnected, False);
    QVERIFY(w.txtRS232Send->Visible());
    QVERIFY(!w.txtSend->Visible());

    // The next connect, to a unit that is there, works.
    w.Winsock1->setRemotePort(server.port());
    const int connections = server.connectionCount() + 1;
    QVERIFY(t.connect());
    QTRY_COMPARE(server.connectionCount(), connections);
    QTRY_COMPARE(server.received(), QByteArray("rip"));
    QCOMPARE(int(t.app.messages->texts.size()), before + 1);
}

void FaultsTcpTest::thousandConnects() {
    LoopbackServer server;
    TcpApp t(server);
    auto& w = t.app.window();
    w.address().ParseIpAnswer(QStringLiteral("IP: 127.0.0.1."));
    QVERIFY(t.connect());
    w.btnConnect[1]->click();
    QTRY_COMPARE(server.openConnectionCount(), 0);
    const int descriptors = openDescriptors();
    int connects = 1;
    for (int i = 0; i < 1000; ++i) {
        // Connect or change host from the serial state, change host from a live link,
        // then disconnect.
        w.btnConnect[i % 2 == 0 ? 0 : 3]->click();
        ++connects;
        if (i % 3 == 0) {
            w.btnConnect[3]->click();
            ++connects;
        }
        QVERIFY2(w.tcpConnected == True, qPrintable(QString::number(i)));
        w.btnConnect[1]->click();
        QVERIFY(w.tcpConnected == False);
    }
    QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), connects, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(server.openConnectionCount(), 0, Wait);
    QCOMPARE(server.receivedTotal(), QByteArray("rip").repeated(connects));
    for (int c = 0; c < connects; ++c)
        QCOMPARE(server.received(c), QByteArray("rip"));
    QVERIFY(t.app.messages->texts.isEmpty());
    QTRY_VERIFY(openDescriptors() <= descriptors);
}

void FaultsTcpTest::oddBytes() {
    LoopbackServer server;
    TcpApp t(server);
    auto& w = t.app.window();
    QVERIFY(t.connect());
    QVERIFY(server.waitForBytes(3, Wait));
    Chunks chunks(w.Winsock1);
    const QByteArray prefix = t.app.logBytes();
    QByteArray high;
    for (int c = 0x80; c <= 0xFF; ++c)
        high += char(c);
    QByteArray stream;
    for (const QByteArray& piece :
         {QByteArray("a\rb"), QByteArray("\r"), QByteArray("\nc\n"), QByteArray("\n\r"),
          QByteArray("d\0e\0", 4), high, QByteArray("\r\n")}) {
        QVERIFY(server.send(piece));
        stream += piece;
        QTRY_COMPARE(chunks.total(), stream.size());
        // Each chunk is one print line of the file, and the box shows the file.
        const QByteArray file = chunks.asLogged(prefix, stream);
        QCOMPARE(t.app.logBytes(), file);
        QCOMPARE(w.rtfReceive->Text(), asBoxText(file));
    }
    QCOMPARE(w.rtfReceive->SelStart(), w.rtfReceive->textLength());
    QVERIFY(t.app.messages->texts.isEmpty());
}

void FaultsTcpTest::floodInOneBurst() {
    LoopbackServer server;
    TcpApp t(server);
    auto& w = t.app.window();
    QVERIFY(t.connect());
    QVERIFY(server.waitForBytes(3, Wait));
    Chunks chunks(w.Winsock1);
    const QByteArray prefix = t.app.logBytes();
    // The unit sends ten megabytes and hangs up at once: all of it still arrives.
    const QByteArray flood = hostileBytes(10 * 1024 * 1024, 11);
    QVERIFY(server.send(flood));
    server.closeClient();
    QTRY_COMPARE_WITH_TIMEOUT(chunks.total(), flood.size(), 4 * Wait);
    const QByteArray file = chunks.asLogged(prefix, flood);
    QVERIFY(t.app.logBytes() == file);
    QVERIFY(w.rtfReceive->Text() == asBoxText(file));
    QVERIFY(t.app.messages->texts.isEmpty());
    // The next connection works as usual.
    w.btnConnect[1]->click();
    QVERIFY(t.connect());
    QTRY_COMPARE(server.connectionCount(), 2);
    QTRY_COMPARE(server.received(), QByteArray("rip"));
    QVERIFY(server.send("after\r\n"));
    QTRY_VERIFY(t.app.logBytes().endsWith(file + "after\r\n\r\n"));
    qInfo("10 MB in %lld chunks", qint64(chunks.sizes.size()));
}

void FaultsTcpTest::floodOnBothLinks() {
    LoopbackServer server;
    TcpApp t(server);
    auto& w = t.app.window();
    QVERIFY(t.connect());
    QVERIFY(server.waitForBytes(3, Wait));
    Chunks chunks(w.Winsock1);
    // Two megabytes on each link at the same time, from alphabets of their own: lower
    // case and line breaks over serial, upper case and digits over TCP/IP. Whatever the
    // interleaving, each link's text is in the box and the log whole and in order.
    std::mt19937 rng(23);
    QByteArray serial(2 << 20, Qt::Uninitialized), tcp(2 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < serial.size(); ++i) {
        const std::uint32_t r = rng();
        serial[i] = "abcdefghijklmnopqrstuvwxyz\r\n"[r % 28];
        tcp[i] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"[(r >> 8) % 36];
    }
    QVERIFY(server.send(tcp));
    QVERIFY(t.app.com5->write(serial));
    QTRY_COMPARE_WITH_TIMEOUT(chunks.total(), tcp.size(), 4 * Wait);
    const auto only = [](const QByteArray& bytes, bool lower) {
        QByteArray out;
        for (const char c : bytes)
            if (lower ? (c >= 'a' && c <= 'z') : ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
                out += c;
        return out;
    };
    const QByteArray serialLetters = only(serial, true);
    QTRY_COMPARE_WITH_TIMEOUT(only(w.rtfReceive->Text().toLatin1(), true).size(),
                              serialLetters.size(), 4 * Wait);
    // A last serial event saves the box: the file is then exactly the box.
    QVERIFY(t.app.com5->write("z"));
    QTRY_VERIFY(w.rtfReceive->Text().endsWith(QLatin1Char('z')));
    const QByteArray box = w.rtfReceive->Text().toLatin1();
    QVERIFY(only(box, true) == serialLetters + "z");
    QVERIFY(only(box, false) == tcp);
    QTRY_VERIFY(t.app.logBytes() == box);
    QVERIFY(t.app.messages->texts.isEmpty());
}

void FaultsTcpTest::megabyteAddressAnswer() {
    LoopbackServer server;
    TcpApp t(server);
    auto& w = t.app.window();
    QVERIFY(t.connect());
    QVERIFY(server.waitForBytes(3, Wait));
    Chunks chunks(w.Winsock1);
    const QByteArray prefix = t.app.logBytes();
    // The fourth field is a megabyte long. Whether it comes as one chunk (all four
    // fields are taken) or several (only what the chunk with "IP: " holds is taken), the
    // first three fields are stored, and everything is in the log and the box.
    const QByteArray answer = "IP: 10.9.8." + QByteArray(1 << 20, '7') + ".\r\n";
    QVERIFY(server.send(answer));
    QTRY_COMPARE_WITH_TIMEOUT(chunks.total(), answer.size(), Wait);
    QCOMPARE(QStringList({w.remoteOctets[0], w.remoteOctets[1], w.remoteOctets[2]}),
             QStringList({"10", "9", "8"}));
    const QByteArray file = chunks.asLogged(prefix, answer);
    QVERIFY(t.app.logBytes() == file);
    QVERIFY(w.rtfReceive->Text() == asBoxText(file));
    // An ordinary answer afterwards is taken as usual.
    QVERIFY(server.send("IP: 127.0.0.4.\r\n"));
    QTRY_COMPARE(w.txtTcp4->Text(), QStringLiteral("4"));
    QCOMPARE(w.remoteOctets[3], QStringLiteral("4"));
    QVERIFY(t.app.messages->texts.isEmpty());
}

QTEST_MAIN(FaultsTcpTest)
#include "tst_faults_tcp.moc"
