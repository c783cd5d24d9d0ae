// The socket control against a TCP server on 127.0.0.1.

#include "platform/base/runtimeerror.h"
#include "platform/link/socketcontrol.h"
#include "support/loopbackserver.h"
#include "support/testutil.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <functional>

using State = SocketControl::State;

namespace {

RuntimeError caught(const std::function<void()>& f) {
    try {
        f();
    } catch (const RuntimeError& e) {
        return e;
    }
    return RuntimeError(0, QString(), QString());
}

// A 127.0.0.1 port that nothing listens on (it was free a moment ago).
std::uint16_t unusedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.serverPort();
}

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd")).count());
}

// Sets QUORLANE_LOOPBACK_ONLY for one test and puts the previous value back.
class LoopbackOnly {
public:
    explicit LoopbackOnly(const QByteArray& value)
        : had_(qEnvironmentVariableIsSet("QUORLANE_LOOPBACK_ONLY")),
          previous_(qgetenv("QUORLANE_LOOPBACK_ONLY")) {
        qputenv("QUORLANE_LOOPBACK_ONLY", value);
    }
    ~LoopbackOnly() {
        if (had_)
            qputenv("QUORLANE_LOOPBACK_ONLY", previous_);
        else
            qunsetenv("QUORLANE_LOOPBACK_ONLY");
    }

private:
    bool had_;
    QByteArray previous_;
};

// Records every DataArrival: the bytesTotal it carried and, when `read` is set, what
// GetData returned inside the handler.
struct Arrivals {
    QList<std::int32_t> totals;
    QByteArray data;
    bool read = true;
    std::function<void(SocketControl&)> extra;

    void attach(SocketControl& control) {
        QObject::connect(&control, &SocketControl::DataArrival, &control,
                         [this, &control](std::int32_t bytesTotal) {
                             totals.append(bytesTotal);
                             if (read) {
                                 QByteArray got;
                                 control.GetData(got);
                                 QCOMPARE(got.size(), qsizetype(bytesTotal));
                                 data += got;
                             }
                             if (extra)
                                 extra(control);
                         });
    }
};

bool waitForState(const SocketControl& control, State state, int ms = 3000) {
    return QTest::qWaitFor([&] { return control.state() == state; }, ms);
}

// A control named as the program names it, aimed at a server on 127.0.0.1, with its
// arrivals recorded (and read in the handler when `read`).
struct Link {
    LoopbackServer server;
    TcpSocketControl sock;
    Arrivals arrivals;

    explicit Link(bool read = true) {
        sock.setObjectName(QStringLiteral("Winsock1"));
        sock.setRemoteHost(QStringLiteral("127.0.0.1"));
        sock.setRemotePort(server.port());
        arrivals.read = read;
        arrivals.attach(sock);
    }
    // Connects and waits until both sides have the connection.
    bool connect() {
        sock.Connect();
        return server.waitForConnection(3000) && waitForState(sock, State::Connected);
    }
};

} // namespace

class TestSocketControl : public QObject {
    Q_OBJECT

private slots:
    void parseIPv4_data();
    void parseIPv4();
    void propertiesOfTheControl();
    void stateRules_data();
    void stateRules();
    void sendDataIsByteExact();
    void connectChecksRemoteHost_data();
    void connectChecksRemoteHost();
    void dataArrivalCarriesBytesTotal();
    void arrivalDuringHandlerIsAnnounced();
    void closeDropsWaitingDataAndReconnects();
    void sendJustBeforeCloseIsDelivered();
    void handlerMayCloseOrReconnect();
    void connectCloseCycles();
};

void TestSocketControl::parseIPv4_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<quint32>("address");

    QTest::newRow("loopback") << "127.0.0.1" << true << 0x7F000001u;
    QTest::newRow("unit default") << "192.168.1.100" << true << 0xC0A80164u;
    QTest::newRow("zeros") << "0.0.0.0" << true << 0u;
    QTest::newRow("all 255") << "255.255.255.255" << true << 0xFFFFFFFFu;
    QTest::newRow("leading zeros") << "127.000.000.001" << true << 0x7F000001u;
    QTest::newRow("leading zero is not octal") << "010.001.002.008" << true << 0x0A010208u;
    QTest::newRow("256") << "256.0.0.1" << false << 0u;
    QTest::newRow("999") << "1.2.3.999" << false << 0u;
    QTest::newRow("four digits") << "0001.2.3.4" << false << 0u;
    QTest::newRow("three fields") << "1.2.3" << false << 0u;
    QTest::newRow("five fields") << "1.2.3.4.5" << false << 0u;
    QTest::newRow("one number") << "2130706433" << false << 0u;
    QTest::newRow("empty") << "" << false << 0u;
    QTest::newRow("empty field") << "1..3.4" << false << 0u;
    QTest::newRow("leading dot") << ".1.2.3" << false << 0u;
    QTest::newRow("trailing dot") << "1.2.3.4." << false << 0u;
    QTest::newRow("blank before") << " 1.2.3.4" << false << 0u;
    QTest::newRow("blank after") << "1.2.3.4 " << false << 0u;
    QTest::newRow("blank inside") << "1. 2.3.4" << false << 0u;
    QTest::newRow("newline") << "1.2.3.4\n" << false << 0u;
    QTest::newRow("plus") << "+1.2.3.4" << false << 0u;
    QTest::newRow("minus") << "1.-2.3.4" << false << 0u;
    QTest::newRow("hex field") << "0x7f.0.0.1" << false << 0u;
    QTest::newRow("hex digits") << "7f.0.0.1" << false << 0u;
    QTest::newRow("exponent") << "1e2.0.0.1" << false << 0u;
    QTest::newRow("name") << "localhost" << false << 0u;
    QTest::newRow("ipv6") << "::1" << false << 0u;
    QTest::newRow("fullwidth digit") << QString::fromUtf8("\xEF\xBC\x91.2.3.4") << false << 0u;
    QTest::newRow("arabic-indic digit") << QString::fromUtf8("\xD9\xA1.2.3.4") << false << 0u;
}

void TestSocketControl::parseIPv4() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(quint32, address);
    std::uint32_t parsed = 0xDEADBEEF;
    QCOMPARE(SocketControl::parseIPv4(text, parsed), valid);
    QCOMPARE(parsed, valid ? address : 0xDEADBEEFu); // untouched when invalid
}

void TestSocketControl::propertiesOfTheControl() {
    TcpSocketControl sock;
    QCOMPARE(sock.Protocol(), QStringLiteral("TCP"));
    QCOMPARE(sock.RemotePort(), std::uint16_t(23));
    QCOMPARE(sock.LocalPort(), std::uint16_t(0));
    QCOMPARE(sock.state(), State::Closed);
}

void TestSocketControl::stateRules_data() {
    // How the control gets into the state, and how many connections the server has seen
    // once the control has connected again after Close (0: not counted).
    QTest::addColumn<QString>("reach");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("connections");
    QTest::newRow("closed") << "" << int(State::Closed) << 1;
    QTest::newRow("connecting") << "connect" << int(State::Connecting) << 0;
    QTest::newRow("connected") << "connect, wait" << int(State::Connected) << 2;
    QTest::newRow("closed by the peer") << "peer closes" << int(State::Closing) << 2;
    QTest::newRow("connection refused") << "refused" << int(State::Error) << 1;
}

void TestSocketControl::stateRules() {
    // Connect is accepted only when closed, SendData only when connected; Close always,
    // and the same control connects again afterwards.
    QFETCH(QString, reach);
    QFETCH(int, state);
    QFETCH(int, connections);
    Link link(false);
    auto& [server, sock, arrivals] = link;
    if (reach == "refused")
        sock.setRemotePort(unusedPort());
    if (reach == "connect" || reach == "refused")
        sock.Connect();
    if (reach == "connect, wait" || reach == "peer closes")
        QVERIFY(link.connect());
    if (reach == "peer closes") {
        // The unit's last words, then it hangs up.
        QVERIFY(server.send("goodbye\r\n"));
        server.closeClient();
    }
    // (A connect to 127.0.0.1 may be through at once.)
    if (state != int(State::Connecting))
        QVERIFY(waitForState(sock, State(state)));

    if (state == int(State::Connected)) {
        // The connection goes on as it was: a marker goes through it.
        QCOMPARE(server.receivedBeforeMarker(sock), QByteArray());
    } else {
        const RuntimeError e = caught([&] { sock.SendData(QStringLiteral("x")); });
        QCOMPARE(e.number(), err::WrongSocketState);
        QCOMPARE(e.source(), QStringLiteral("Winsock1"));
        QVERIFY2(e.description().contains(QLatin1String("Wrong protocol or connection state for "
                                                        "the requested transaction or request")),
                 qPrintable(e.description()));
        // Even an empty send is refused: the state is wrong whatever the data.
        QCOMPARE(caught([&] { sock.SendData(QString()); }).number(), err::WrongSocketState);
    }
    if (state != int(State::Closed)) {
        QCOMPARE(caught([&] { sock.Connect(); }).number(), err::WrongSocketState);
        if (state != int(State::Connecting))
            QCOMPARE(sock.state(), State(state));
    }
    if (reach == "peer closes") {
        // What the peer sent before it hung up stays readable.
        QVERIFY(QTest::qWaitFor([&] { return !arrivals.totals.isEmpty(); }, 3000));
        QCOMPARE(arrivals.totals.constLast(), 9);
        QByteArray data;
        sock.GetData(data);
        QCOMPARE(data, QByteArray("goodbye\r\n"));
    } else {
        QVERIFY(arrivals.totals.isEmpty());
    }

    sock.Close();
    QCOMPARE(sock.state(), State::Closed);
    QByteArray data = "junk";
    sock.GetData(data);
    QCOMPARE(data, QByteArray());
    sock.setRemotePort(server.port());
    QVERIFY(link.connect());
    if (connections > 0)
        QCOMPARE(server.connectionCount(), connections);
}

void TestSocketControl::sendDataIsByteExact() {
    Link link;
    auto& [server, sock, arrivals] = link;
    QVERIFY(link.connect());

    sock.SendData(allLatin1());
    QVERIFY(server.waitForBytes(256, 3000));
    QCOMPARE(server.received(), allBytes());

    // Nothing added; empty sends nothing; a character without a byte is one '?'.
    sock.SendData(QString());
    sock.SendData(QStringLiteral("x\u20ACy") + QString::fromUtf8("\xF0\x9F\x98\x80"));
    QCOMPARE(server.receivedBeforeMarker(sock), allBytes() + QByteArray("x?y?"));
}

void TestSocketControl::connectChecksRemoteHost_data() {
    // The remote host, whether QUORLANE_LOOPBACK_ONLY=1 is set, the error Connect throws
    // (0: it connects) and what its description names.
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("loopbackOnly");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("named");
    const int notLiteral = err::AddressNotLiteral;
    const int notLoopback = err::AddressNotLoopback;
    QTest::newRow("localhost") << "localhost" << false << notLiteral << "\"localhost\"";
    QTest::newRow("empty") << "" << false << notLiteral << "\"\"";
    QTest::newRow("dotted name") << "127.0.0.one" << false << notLiteral << "\"127.0.0.one\"";
    QTest::newRow("blank") << "127.0.0.1 " << false << notLiteral << "\"127.0.0.1 \"";
    QTest::newRow("ipv6 loopback") << "::1" << false << notLiteral << "\"::1\"";
    // A documentation address (TEST-NET-1), and just outside the range on either side,
    // written with leading zeros too.
    QTest::newRow("test-net, loopback only") << "192.0.2.1" << true << notLoopback << "192.0.2.1";
    QTest::newRow("128.0.0.1, loopback only") << "128.0.0.1" << true << notLoopback << "128.0.0.1";
    QTest::newRow("126.255.255.255, loopback only")
        << "126.255.255.255" << true << notLoopback << "126.255.255.255";
    QTest::newRow("010.0.0.1, loopback only") << "010.0.0.1" << true << notLoopback << " 10.0.0.1";
    QTest::newRow("loopback, loopback only") << "127.0.0.1" << true << 0 << "";
    QTest::newRow("leading zeros are decimal") << "127.000.000.001" << false << 0 << "";
}

void TestSocketControl::connectChecksRemoteHost() {
    QFETCH(QString, host);
    QFETCH(bool, loopbackOnly);
    QFETCH(int, error);
    QFETCH(QString, named);
    // The variable is read at each Connect.
    const LoopbackOnly guard(loopbackOnly ? "1" : "0");
    Link link;
    link.sock.setRemoteHost(host);
    if (error == 0) {
        QVERIFY(link.connect());
        return;
    }
    const RuntimeError e = caught([&] { link.sock.Connect(); });
    QCOMPARE(e.number(), error);
    QCOMPARE(e.source(), QStringLiteral("Winsock1"));
    QVERIFY2(e.description().contains(named), qPrintable(e.description()));
    // Refused before any socket activity: no socket was even made.
    QCOMPARE(link.sock.findChildren<QTcpSocket*>().size(), 0);
    QVERIFY(handlePostedEvents());
    QCOMPARE(link.sock.state(), State::Closed);
    QCOMPARE(link.server.connectionCount(), 0);
}

void TestSocketControl::dataArrivalCarriesBytesTotal() {
    Link link;
    auto& [server, sock, arrivals] = link;
    QVERIFY(link.connect());

    QVERIFY(server.send(allBytes()));
    QVERIFY(QTest::qWaitFor([&] { return arrivals.data.size() >= 256; }, 3000));
    QCOMPARE(arrivals.data, allBytes());
    QVERIFY(!arrivals.totals.isEmpty());
    for (const std::int32_t total : arrivals.totals)
        QVERIFY(total > 0);

    // A handler that does not read: bytesTotal counts everything waiting.
    arrivals.read = false;
    arrivals.totals.clear();
    QVERIFY(server.send("12345"));
    QVERIFY(QTest::qWaitFor([&] { return !arrivals.totals.isEmpty(); }, 3000));
    QCOMPARE(arrivals.totals.constLast(), 5);
    QVERIFY(server.send("678"));
    QVERIFY(QTest::qWaitFor([&] { return arrivals.totals.size() >= 2; }, 3000));
    QCOMPARE(arrivals.totals.constLast(), 8);
    QByteArray data;
    sock.GetData(data);
    QCOMPARE(data, QByteArray("12345678"));
    sock.GetData(data);
    QCOMPARE(data, QByteArray());
}

void TestSocketControl::arrivalDuringHandlerIsAnnounced() {
    // A handler that waits in a nested event loop must not swallow the event for bytes
    // that arrive meanwhile.
    Link link;
    auto& [server, sock, arrivals] = link;
    bool nested = false;
    arrivals.extra = [&](SocketControl&) {
        if (nested)
            return;
        nested = true;
        server.send("second");
        QEventLoop loop;
        QTimer::singleShot(150, &loop, &QEventLoop::quit);
        loop.exec();
    };
    QVERIFY(link.connect());
    QVERIFY(server.send("first"));
    QVERIFY(QTest::qWaitFor([&] { return arrivals.data == "firstsecond"; }, 3000));
    QCOMPARE(arrivals.totals.size(), 2);
}

void TestSocketControl::closeDropsWaitingDataAndReconnects() {
    Link link(false);
    auto& [server, sock, arrivals] = link;
    QVERIFY(link.connect());
    QVERIFY(server.send("stale"));
    QVERIFY(QTest::qWaitFor([&] { return !arrivals.totals.isEmpty(); }, 3000));

    sock.Close();
    QCOMPARE(sock.state(), State::Closed);
    QByteArray data = "junk";
    sock.GetData(data);
    QCOMPARE(data, QByteArray());
    QVERIFY(server.waitForClientClosed(3000));
    sock.Close(); // twice is harmless

    QVERIFY(link.connect());
    QVERIFY(server.send("fresh"));
    QVERIFY(QTest::qWaitFor([&] { return arrivals.totals.size() >= 2; }, 3000));
    sock.GetData(data);
    QCOMPARE(data, QByteArray("fresh"));
    sock.SendData(QStringLiteral("hello again"));
    QVERIFY(server.waitForBytes(11, 3000));
    QCOMPARE(server.received(), QByteArray("hello again"));
    QCOMPARE(server.received(0), QByteArray());
}

void TestSocketControl::sendJustBeforeCloseIsDelivered() {
    // Unread bytes from the peer must not turn the close into a reset that throws away
    // what was just sent.
    Link link(false);
    auto& [server, sock, arrivals] = link;
    QVERIFY(link.connect());
    QVERIFY(server.send(QByteArray(3000, 'u')));
    QVERIFY(QTest::qWaitFor([&] { return !arrivals.totals.isEmpty(); }, 3000));

    // More arrives that the control has not even seen yet when it sends and closes.
    QVERIFY(server.send(QByteArray(3000, 'v')));
    sock.SendData(QStringLiteral("last command\r"));
    sock.Close();
    QVERIFY(server.waitForClientClosed(3000));
    QCOMPARE(server.received(), QByteArray("last command\r"));
}

void TestSocketControl::handlerMayCloseOrReconnect() {
    Link link;
    auto& [server, sock, arrivals] = link;
    arrivals.extra = [&](SocketControl& s) {
        if (arrivals.data.endsWith("reconnect")) {
            s.Close();
            QCOMPARE(s.state(), State::Closed);
            s.Connect();
        } else if (arrivals.data.endsWith("close")) {
            s.Close();
        }
    };
    QVERIFY(link.connect());

    QVERIFY(server.send("reconnect"));
    QVERIFY(server.waitForConnection(3000));
    QCOMPARE(server.connectionCount(), 2);
    QVERIFY(waitForState(sock, State::Connected));
    QVERIFY(server.send("close"));
    QVERIFY(waitForState(sock, State::Closed));
    QVERIFY(server.waitForClientClosed(3000));
    QCOMPARE(arrivals.data, QByteArray("reconnectclose"));
    // The sockets of earlier connections are deleted later, by the event loop.
    QTRY_VERIFY_WITH_TIMEOUT(sock.findChildren<QTcpSocket*>().size() <= 1, 3000);
}

void TestSocketControl::connectCloseCycles() {
    Link link;
    auto& [server, sock, arrivals] = link;
    // Settle the descriptors the first connection brings (the event dispatcher's and
    // the like) before counting.
    QVERIFY(link.connect());
    sock.Close();
    QVERIFY(server.waitForClientClosed(3000));
    const int descriptors = openDescriptors();

    constexpr int Cycles = 200;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < Cycles; ++i) {
        sock.Connect();
        QVERIFY2(waitForState(sock, State::Connected), qPrintable(QString::number(i)));
        QVERIFY(server.waitForConnection(3000));
        sock.SendData(QStringLiteral("x"));
        sock.Close();
        QCOMPARE(sock.state(), State::Closed);
        QVERIFY2(timer.elapsed() < 60000, "connect/close cycles are far too slow");
    }
    QVERIFY(server.waitForBytes(Cycles, 5000));
    QVERIFY(server.waitForClientClosed(3000));
    QTRY_COMPARE_WITH_TIMEOUT(server.openConnectionCount(), 0, 3000);

    QCOMPARE(server.connectionCount(), Cycles + 1);
    QCOMPARE(server.receivedTotal(), QByteArray(Cycles, 'x'));
    for (int i = 1; i <= Cycles; ++i)
        QCOMPARE(server.received(i), QByteArray("x"));
    QCOMPARE(server.openConnectionCount(), 0);
    // Sockets do not pile up, neither as objects (deleted later, by the event loop) nor
    // as descriptors.
    QTRY_VERIFY_WITH_TIMEOUT(sock.findChildren<QTcpSocket*>().size() <= 1, 3000);
    QVERIFY2(
        openDescriptors() <= descriptors + 2,
        qPrintable(
            QStringLiteral("%1 descriptors, %2 before").arg(openDescriptors()).arg(descriptors)));
}

QTEST_MAIN(TestSocketControl)
#include "tst_socketcontrol.moc"
