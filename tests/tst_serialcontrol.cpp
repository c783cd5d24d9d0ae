// The serial-port control against real pseudo-terminals linked as COM ports in a scratch
// QUORLANE_HOME.

#include "platform/base/portlock.h"
#include "platform/base/runtimeerror.h"
#include "platform/link/serialcontrol.h"
#include "support/portlockfile.h"
#include "support/ptypeer.h"
#include "support/scratchhome.h"
#include "support/testutil.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

namespace {

struct Event {
    std::int16_t code;
    QByteArray input; // what the handler read, when it read
};

// Records every OnComm the control raises, with the CommEvent seen during the event.
// When `read` is set the handler reads Input() on receive events.
struct Recorder {
    QList<Event> events;
    bool read = false;
    std::function<void(SerialControl&, const Event&)> extra;

    void attach(SerialControl& control) {
        QObject::connect(&control, &SerialControl::OnComm, &control, [this, &control] {
            Event e{control.CommEvent(), {}};
            if (read && e.code == SerialControl::EvReceive)
                e.input = control.Input();
            events.append(e);
            if (extra)
                extra(control, events.constLast());
        });
    }
    int count(std::int16_t code) const {
        int n = 0;
        for (const Event& e : events)
            n += e.code == code ? 1 : 0;
        return n;
    }
    QByteArray inputs() const {
        QByteArray all;
        for (const Event& e : events)
            all += e.input;
        return all;
    }
};

// A control on COM `port`, a pseudo-terminal linked in the scratch home, with its events
// recorded (and Input() read on receive events when `read`).
struct Line {
    PtyPeer peer;
    SerialControl comm;
    Recorder rec;

    bool open(const ScratchHome& home, std::int16_t port, std::int16_t rThreshold,
              std::int16_t sThreshold = 0, bool read = true) {
        comm.setCommPort(port);
        comm.setRThreshold(rThreshold);
        comm.setSThreshold(sThreshold);
        rec.read = read;
        rec.attach(comm);
        if (!peer.linkAs(home, port))
            return false;
        comm.setPortOpen(true);
        return comm.PortOpen();
    }
};

#define QVERIFY_THROWS_RUNTIME(statement, expectedNumber)                                          \
    do {                                                                                           \
        bool thrown_ = false;                                                                      \
        try {                                                                                      \
            statement;                                                                             \
        } catch (const RuntimeError& e_) {                                                         \
            thrown_ = true;                                                                        \
            QCOMPARE(e_.number(), expectedNumber);                                                 \
        }                                                                                          \
        QVERIFY2(thrown_, #statement " did not throw");                                            \
    } while (false)

RuntimeError caught(const std::function<void()>& f) {
    try {
        f();
    } catch (const RuntimeError& e) {
        return e;
    }
    return RuntimeError(0, QString(), QString());
}

} // namespace

class TestSerialControl : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void outputIsByteExact();
    void inputReturnsEverythingWaiting();
    void receiveEventsFollowRThreshold();
    void steadyStreamSharesEvents();
    void arrivalDuringHandlerIsAnnounced();
    void sendEventOnlyWithSThreshold();
    void missingDeviceFailsWithItsPath();
    void closedPortRefusesIo();
    void portHeldBySecondControl();
    void portHeldByForeignLock();
    void portLockFileNamesItsOwner();
    void openAsAnotherUser_data();
    void openAsAnotherUser();
    void deviceLoss_data();
    void deviceLoss();
    void reopenAfterDeviceLoss();
    void settingsAccepted_data();
    void settingsAccepted();
    void settingsRejectedKeepOldValue_data();
    void settingsRejectedKeepOldValue();
    void portNumberAndThresholdRules();
    void modemLinesIgnoredWithoutHardware();
    void handlerMayCloseAndReopen();
    void closeAndDestroyWhileOpenDeliverOutput();

private:
    std::unique_ptr<ScratchHome> home_;
};

void TestSerialControl::init() {
    home_ = std::make_unique<ScratchHome>();
    QVERIFY(home_->isValid());
}

void TestSerialControl::cleanup() {
    home_.reset();
}

void TestSerialControl::outputIsByteExact() {
    Line line;
    auto& [peer, comm, rec] = line;
    QVERIFY(line.open(*home_, 3, 0));
    QCOMPARE(comm.devicePath(), home_->comPath(3));

    comm.Output(allLatin1());
    QCOMPARE(peer.waitFor(256, 3000), allBytes());

    // A character without a byte goes out as one '?', a surrogate pair included.
    comm.Output(QStringLiteral("a\u20ACb") + QString::fromUtf8("\xF0\x9F\x98\x80") +
                QStringLiteral("c"));
    QCOMPARE(peer.waitFor(5, 3000), QByteArray("a?b?c"));

    // Nothing is added: an empty string sends nothing, and a line goes out as given.
    comm.Output(QString());
    comm.Output(QStringLiteral("AT\r"));
    QCOMPARE(peer.sentBeforeMarker(comm), QByteArray("AT\r"));

    // A long command in one call.
    QByteArray big;
    for (int i = 0; i < 20000; ++i)
        big.append(char('A' + i % 26));
    comm.Output(QString::fromLatin1(big));
    QCOMPARE(peer.waitFor(big.size(), 5000), big);
}

void TestSerialControl::inputReturnsEverythingWaiting() {
    Line line;
    auto& [peer, comm, rec] = line;
    QVERIFY(line.open(*home_, 1, 1));

    // Several writes before the handler gets to run come back in one Input(), NUL and
    // high bytes unchanged.
    QVERIFY(peer.write("ab"));
    ::usleep(20000);
    QVERIFY(peer.write(QByteArray("c\0d", 3)));
    ::usleep(20000);
    QVERIFY(peer.write("\xE9\xFF"));
    QVERIFY(peer.waitUntilWaitingAtSlave(7, 3000));
    QVERIFY(QTest::qWaitFor([&] { return !rec.events.isEmpty(); }, 3000));
    QCOMPARE(rec.events.first().code, SerialControl::EvReceive);
    QCOMPARE(rec.events.first().input, QByteArray("abc\0d\xE9\xFF", 7));
    // Nothing else came in before the next arrival.
    QVERIFY(peer.write("|"));
    QVERIFY(QTest::qWaitFor([&] { return rec.inputs().endsWith('|'); }, 3000));
    QCOMPARE(rec.inputs(), QByteArray("abc\0d\xE9\xFF|", 8));
    // Nothing waits any more.
    QCOMPARE(comm.Input(), QByteArray());
}

void TestSerialControl::receiveEventsFollowRThreshold() {
    Line line;
    auto& [peer, comm, rec] = line;
    QCOMPARE(comm.CommEvent(), std::int16_t(0));
    QVERIFY(line.open(*home_, 2, 0, 0, false));

    // RThreshold 0: no event, but the bytes wait for Input(). Once Input() has them the
    // port has announced them, and no event was raised or is on its way.
    QVERIFY(peer.write("quiet"));
    QByteArray quiet;
    QVERIFY(QTest::qWaitFor([&] { return (quiet += comm.Input()) == "quiet"; }, 3000));
    QCOMPARE(rec.events.size(), 0);
    QVERIFY(!comm.receivePending());

    // RThreshold 1: one receive event per arrival, CommEvent set during the event. A
    // handler that does not read leaves the bytes for the next Input().
    comm.setRThreshold(1);
    std::int16_t seenDuringEvent = 0;
    rec.extra = [&](SerialControl& c, const Event&) { seenDuringEvent = c.CommEvent(); };
    QVERIFY(peer.write("one"));
    QVERIFY(QTest::qWaitFor([&] { return rec.events.size() >= 1; }, 3000));
    QCOMPARE(seenDuringEvent, SerialControl::EvReceive);
    QVERIFY(peer.write("two"));
    QVERIFY(QTest::qWaitFor([&] { return rec.events.size() >= 2; }, 3000));
    QVERIFY(QTest::qWaitFor([&] { return !comm.receivePending(); }, 3000));
    QCOMPARE(rec.events.size(), 2);
    QCOMPARE(rec.count(SerialControl::EvReceive), 2);
    QCOMPARE(comm.CommEvent(), SerialControl::EvReceive);
    QCOMPARE(comm.Input(), QByteArray("onetwo"));

    // Unread bytes do not raise events again by themselves: the next arrival raises
    // the next event.
    QVERIFY(peer.write("three"));
    QVERIFY(QTest::qWaitFor([&] { return rec.events.size() >= 3; }, 3000));
    QCOMPARE(comm.Input(), QByteArray("three"));
    QVERIFY(QTest::qWaitFor([&] { return !comm.receivePending(); }, 3000));
    QCOMPARE(rec.events.size(), 3);
}

void TestSerialControl::steadyStreamSharesEvents() {
    // Pieces that follow each other closely share receive events (at most one every
    // ReceiveGapMs), and nothing is lost or reordered.
    Line line;
    auto& [peer, comm, rec] = line;
    QByteArray got;
    rec.extra = [&](SerialControl& c, const Event&) { got += c.Input(); };
    QVERIFY(line.open(*home_, 2, 1, 0, false));
    QByteArray sent;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 100; ++i) {
        const QByteArray piece = QByteArray::number(i) + ',';
        QVERIFY(peer.write(piece));
        sent += piece;
        QTest::qWait(3);
    }
    QVERIFY(QTest::qWaitFor([&] { return got == sent; }, 3000));
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(rec.events.size() <= elapsed / SerialControl::ReceiveGapMs + 2,
             qPrintable(QStringLiteral("%1 events in %2 ms").arg(rec.events.size()).arg(elapsed)));
    QVERIFY(rec.events.size() >= 2);
}

void TestSerialControl::arrivalDuringHandlerIsAnnounced() {
    // A handler that waits in a nested event loop (as a message box or a timed wait
    // does) must not swallow the receive event for bytes that arrive meanwhile.
    Line line;
    auto& [peer, comm, rec] = line;
    bool nested = false;
    rec.extra = [&](SerialControl&, const Event& e) {
        if (nested || e.input.isEmpty() || rec.inputs() != "first")
            return;
        nested = true;
        peer.write("second");
        QEventLoop loop;
        QTimer::singleShot(150, &loop, &QEventLoop::quit);
        loop.exec();
    };
    QVERIFY(line.open(*home_, 4, 1));

    QVERIFY(peer.write("first"));
    QVERIFY(QTest::qWaitFor([&] { return rec.inputs() == "firstsecond"; }, 3000));
    QCOMPARE(rec.count(SerialControl::EvReceive), 2);
}

void TestSerialControl::sendEventOnlyWithSThreshold() {
    Line line;
    auto& [peer, comm, rec] = line;
    std::int16_t seenDuringEvent = 0;
    rec.extra = [&](SerialControl& c, const Event&) { seenDuringEvent = c.CommEvent(); };
    QVERIFY(line.open(*home_, 1, 0, 0, false));

    comm.Output(QStringLiteral("no event"));
    QCOMPARE(peer.sentBeforeMarker(comm), QByteArray("no event"));
    QCOMPARE(rec.count(SerialControl::EvSend), 0);

    comm.setSThreshold(1);
    bool returnedFromOutput = false;
    rec.extra = [&](SerialControl& c, const Event&) {
        seenDuringEvent = c.CommEvent();
        // Raised from the event loop, never from inside Output().
        QVERIFY(returnedFromOutput);
    };
    comm.Output(QStringLiteral("with event"));
    returnedFromOutput = true;
    QCOMPARE(peer.waitFor(10, 3000), QByteArray("with event"));
    QVERIFY(QTest::qWaitFor([&] { return rec.count(SerialControl::EvSend) >= 1; }, 3000));
    QCOMPARE(seenDuringEvent, SerialControl::EvSend);
    QCOMPARE(rec.count(SerialControl::EvReceive), 0);

    // Back to 0: no more send events.
    comm.setSThreshold(0);
    const int before = rec.count(SerialControl::EvSend);
    comm.Output(QStringLiteral("quiet again"));
    QCOMPARE(peer.sentBeforeMarker(comm), QByteArray("quiet again"));
    QCOMPARE(rec.count(SerialControl::EvSend), before);
}

void TestSerialControl::missingDeviceFailsWithItsPath() {
    const QString target = home_->linkMissing(5);
    QVERIFY(!target.isEmpty());
    SerialControl comm;
    comm.setObjectName(QStringLiteral("MSComm1"));
    comm.setCommPort(5);
    QCOMPARE(comm.devicePath(), home_->comPath(5));
    const RuntimeError e = caught([&] { comm.setPortOpen(true); });
    QCOMPARE(e.number(), err::PortOpenFailed);
    QCOMPARE(e.source(), QStringLiteral("MSComm1"));
    QVERIFY2(e.description().contains(home_->comPath(5)), qPrintable(e.description()));
    QVERIFY2(e.description().contains(QLatin1String("Port 5")), qPrintable(e.description()));
    QVERIFY2(e.description().contains(QLatin1String("No such file or directory")),
             qPrintable(e.description()));
    QVERIFY(!comm.PortOpen());

    // The same port opens once its link leads to a device.
    PtyPeer peer;
    QVERIFY(peer.linkAs(*home_, 5));
    comm.setPortOpen(true);
    QVERIFY(comm.PortOpen());
}

void TestSerialControl::closedPortRefusesIo() {
    SerialControl comm;
    QVERIFY(!comm.PortOpen());
    QVERIFY_THROWS_RUNTIME(comm.Output(QStringLiteral("x")), err::PortNotOpen);
    QVERIFY_THROWS_RUNTIME(comm.Input(), err::PortNotOpen);
    // Closing a closed port is harmless; opening an open one is not.
    comm.setPortOpen(false);
    PtyPeer peer;
    QVERIFY(peer.linkAs(*home_, 1));
    comm.setPortOpen(true);
    QVERIFY_THROWS_RUNTIME(comm.setPortOpen(true), err::PortAlreadyOpen);
    QVERIFY(comm.PortOpen());
    comm.setPortOpen(false);
    comm.setPortOpen(false);
    QVERIFY(!comm.PortOpen());
}

void TestSerialControl::portHeldBySecondControl() {
    Line line;
    auto& [peer, first, rec] = line;
    first.setSettings(QStringLiteral("19200,E,7,2"));
    QVERIFY(line.open(*home_, 2, 1));
    const termios before = peer.slaveAttributes();

    SerialControl second;
    second.setObjectName(QStringLiteral("second"));
    second.setCommPort(2);
    second.setSettings(QStringLiteral("300,N,5,1"));
    const RuntimeError e = caught([&] { second.setPortOpen(true); });
    QCOMPARE(e.number(), err::PortHeld);
    QCOMPARE(e.source(), QStringLiteral("second"));
    QVERIFY2(e.description().contains(home_->comPath(2)), qPrintable(e.description()));
    QVERIFY(!second.PortOpen());

    // The failed attempt left the holder's line as it was, and the holder works on.
    const termios after = peer.slaveAttributes();
    QCOMPARE(cfgetospeed(&after), cfgetospeed(&before));
    QCOMPARE(after.c_cflag, before.c_cflag);
    QVERIFY(first.PortOpen());
    first.Output(QStringLiteral("still mine"));
    QCOMPARE(peer.waitFor(10, 3000), QByteArray("still mine"));
    QVERIFY(peer.write("reply"));
    QVERIFY(QTest::qWaitFor([&] { return rec.inputs() == "reply"; }, 3000));

    // Once the holder lets go, the second opener gets the port.
    first.setPortOpen(false);
    second.setPortOpen(true);
    QVERIFY(second.PortOpen());
    QVERIFY_THROWS_RUNTIME(first.setPortOpen(true), err::PortHeld);
    QVERIFY(!first.PortOpen());
}

void TestSerialControl::portHeldByForeignLock() {
    PtyPeer peer;
    QVERIFY(peer.linkAs(*home_, 7));
    // Another program holding the device with an exclusive lock.
    const int fd = ::open(QFile::encodeName(peer.slavePath()).constData(),
                          O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(fd >= 0);
    QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);

    SerialControl comm;
    comm.setCommPort(7);
    QVERIFY_THROWS_RUNTIME(comm.setPortOpen(true), err::PortHeld);
    QVERIFY(!comm.PortOpen());

    ::flock(fd, LOCK_UN);
    ::close(fd);
    comm.setPortOpen(true);
    QVERIFY(comm.PortOpen());
    comm.Output(QStringLiteral("ok"));
    QCOMPARE(peer.waitFor(2, 3000), QByteArray("ok"));
}

void TestSerialControl::portLockFileNamesItsOwner() {
    const auto peer = ptyWithFreeLockName();
    QVERIFY(peer);
    QVERIFY(peer->linkAs(*home_, 5));
    const QString shown = home_->comPath(5) + QStringLiteral(" -> ") + peer->slavePath();
    SerialControl comm;
    comm.setCommPort(5);
    {
        // Another program holds the port through QSerialPort's lock file.
        RunningProcess holder;
        PortLockFile lock(peer->slavePath(), holder.pid(), "sleep", true);
        QVERIFY(lock.isValid());
        const RuntimeError e = caught([&] { comm.setPortOpen(true); });
        QCOMPARE(e.number(), err::PortHeld);
        QCOMPARE(e.description(),
                 QStringLiteral("Port 5 (%1) is in use by another program: the lock file %2 names "
                                "process %3 (sleep), which is still running. End that program to "
                                "free the port.")
                     .arg(shown, lock.path())
                     .arg(holder.pid()));
        QVERIFY(!comm.PortOpen());
    }
    {
        // A lock whose process has ended, in a file this user may delete: Qt clears it by
        // itself and the port opens. The file Qt then keeps is the one that portlock names.
        PortLockFile stale(peer->slavePath(), endedProcessId(), "quorlane", false);
        QVERIFY(stale.isValid());
        comm.setPortOpen(true);
        QVERIFY(comm.PortOpen());
        const portlock::PortLock own = portlock::inspect(home_->comPath(5));
        QCOMPARE(own.path, stale.path());
        QCOMPARE(own.pid, QCoreApplication::applicationPid());
        QVERIFY(own.holder == portlock::Holder::Running);
        comm.setPortOpen(false);
        QVERIFY(!stale.exists());
    }
}

void TestSerialControl::openAsAnotherUser_data() {
    // How the device is left (as root) before user nobody (65534) opens it as COM 5, and
    // what that open reports, empty when it opens. %dev is the device, %link the COM
    // entry, %lock the lock file and %pid the process it names.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("expected");
    QTest::newRow("root's stale lock")
        << "stale lock"
        << "Port 5 (%link -> %dev) is in use by another program: the lock file %lock names "
           "process %pid (quorlane), which no longer runs. It is a stale lock; clear it with: "
           "sudo quorlane-ports unlock %dev (the file belongs to root)";
    QTest::newRow("device in exclusive use")
        << "exclusive"
        << "Port 5 (%link -> %dev) is busy: %dev is in exclusive use, most likely by another "
           "program that has it open (Device or resource busy); a pseudo-terminal also stays so "
           "after a program that had it ended without letting go, until the program on its "
           "other side closes it. See which programs have it open with: fuser -v %dev";
    // A program killed while it had the port open leaves it free for the next one.
    QTest::newRow("holder killed") << "killed holder" << QString();
}

void TestSerialControl::openAsAnotherUser() {
    QFETCH(QString, setup);
    QFETCH(QString, expected);
    const QString device = qEnvironmentVariable("QUORLANE_TEST_DEVICE");
    if (!device.isEmpty()) {
        // The run as another user that the branch below starts.
        QVERIFY(home_->linkCom(5, device));
        SerialControl comm;
        comm.setCommPort(5);
        if (qEnvironmentVariableIsSet("QUORLANE_TEST_HOLD")) {
            comm.setPortOpen(true);
            std::printf("open %s\n", qPrintable(home_->path()));
            std::fflush(stdout);
            ::pause(); // until killed
        }
        const RuntimeError e = caught([&] { comm.setPortOpen(true); });
        QCOMPARE(e.description(),
                 qEnvironmentVariable("QUORLANE_TEST_EXPECT").replace("%link", home_->comPath(5)));
        return;
    }
    const auto peer = ptyWithFreeLockName();
    QVERIFY(peer && peer->keepExclusive(true));
    // Root opens a device in exclusive use all the same: then the opener is user nobody.
    const int fd = ::open(QFile::encodeName(peer->slavePath()).constData(),
                          O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const bool privileged = fd >= 0 && ::close(fd) == 0;
    QVERIFY(setup == "exclusive" || peer->keepExclusive(false));
    const QString self = QCoreApplication::applicationFilePath();
    QString program = self;
    QStringList args = {QStringLiteral("openAsAnotherUser:") + QTest::currentDataTag()};
    if (privileged) {
        program = "setpriv";
        args = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", self} + args;
        if (QProcess::execute(program, args.mid(0, 3) + QStringList{"test", "-x", self}) != 0)
            QSKIP("user nobody cannot run this test program here");
    } else if (setup == "stale lock") {
        QSKIP("needs root: the lock file is made as root and met as user nobody (65534)");
    }
    QVERIFY(::chmod(QFile::encodeName(peer->slavePath()).constData(), 0666) == 0);
    const qint64 pid = endedProcessId();
    std::optional<PortLockFile> lock;
    if (setup == "stale lock")
        QVERIFY(lock.emplace(peer->slavePath(), pid, "quorlane", false).isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUORLANE_TEST_DEVICE", peer->slavePath());
    if (setup == "killed holder") {
        QProcess holder;
        QProcessEnvironment holding = env;
        holding.insert("QUORLANE_TEST_HOLD", "1");
        holder.setProcessEnvironment(holding);
        holder.start(program, args);
        QByteArray out;
        while (!out.contains("open /") && holder.waitForReadyRead(30000))
            out += holder.readAllStandardOutput();
        QVERIFY2(out.contains("open /"), out.constData());
        holder.kill();
        QVERIFY(holder.waitForFinished());
        const qsizetype at = out.indexOf("open /") + 5;
        QDir(QString::fromLocal8Bit(out.mid(at, out.indexOf('\n', at) - at))).removeRecursively();
    }

    env.insert("QUORLANE_TEST_EXPECT", expected.replace("%dev", peer->slavePath())
                                           .replace("%lock", lock ? lock->path() : QString())
                                           .replace("%pid", QString::number(pid)));
    QProcess opener;
    opener.setProcessEnvironment(env);
    opener.setProcessChannelMode(QProcess::MergedChannels);
    opener.start(program, args);
    QVERIFY(opener.waitForFinished(60000));
    QVERIFY2(opener.exitStatus() == QProcess::NormalExit && opener.exitCode() == 0,
             opener.readAll().constData());
    QVERIFY(!lock || lock->exists());
}

void TestSerialControl::deviceLoss_data() {
    // The thresholds; what arrives and is read before the loss; whether one more byte
    // arrives whose event is held back when the device goes (an arrival soon after a
    // receive event waits, longer after one that brought little); whether the program
    // writes before the event loop has noticed the loss (the write fails with EIO).
    QTest::addColumn<int>("rThreshold");
    QTest::addColumn<int>("sThreshold");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("heldBack");
    QTest::addColumn<bool>("writeAfter");
    QTest::newRow("receiving") << 1 << 1 << QByteArray("hi") << false << false;
    QTest::newRow("no thresholds") << 0 << 0 << QByteArray() << false << false;
    QTest::newRow("noticed while writing") << 0 << 1 << QByteArray() << false << true;
    QTest::newRow("held back, slow stream") << 1 << 0 << QByteArray("a") << true << false;
    QTest::newRow("held back, fast stream")
        << 1 << 0 << QByteArray(2 * SerialControl::SlowBelowBytes, 'x') << true << false;
}

void TestSerialControl::deviceLoss() {
    // The loss is raised once, whatever the thresholds, with the port already closed;
    // what arrived before it gets its receive event first.
    QFETCH(int, rThreshold);
    QFETCH(int, sThreshold);
    QFETCH(QByteArray, before);
    QFETCH(bool, heldBack);
    QFETCH(bool, writeAfter);
    Line line;
    auto& [peer, comm, rec] = line;
    bool openDuringEvent = true;
    rec.extra = [&](SerialControl& c, const Event& e) {
        if (e.code == SerialControl::EvDeviceLost)
            openDuringEvent = c.PortOpen();
    };
    QVERIFY(line.open(*home_, 6, std::int16_t(rThreshold), std::int16_t(sThreshold)));
    QByteArray sent = before;
    if (!sent.isEmpty()) {
        QVERIFY(peer.write(sent));
        QVERIFY(QTest::qWaitFor([&] { return rec.inputs() == sent; }, 3000));
    }
    if (heldBack) {
        QVERIFY(peer.write("d"));
        sent += 'd';
        // Once the port has read it, its event is held back (or, on a slow machine, raised).
        QVERIFY(
            QTest::qWaitFor([&] { return comm.receivePending() || rec.inputs() == sent; }, 3000));
    }

    // The other side goes away: the slave reads end-of-file or EIO from now on.
    peer.closeMaster();
    if (writeAfter) {
        QVERIFY_THROWS_RUNTIME(comm.Output(QStringLiteral("anyone there?")), err::PortWrite);
        QVERIFY(!comm.PortOpen());
    }
    QVERIFY(QTest::qWaitFor([&] { return rec.count(SerialControl::EvDeviceLost) > 0; }, 3000));
    // Closed, the port is heard from no more once the queued calls have run.
    QVERIFY(handlePostedEvents());
    QCOMPARE(rec.inputs(), sent);
    QCOMPARE(rec.count(SerialControl::EvReceive) > 0, !sent.isEmpty());
    QCOMPARE(rec.count(SerialControl::EvReceive) + 1, rec.events.size());
    QCOMPARE(rec.events.constLast().code, SerialControl::EvDeviceLost);
    QCOMPARE(comm.CommEvent(), SerialControl::EvDeviceLost);
    QVERIFY(!openDuringEvent);
    QVERIFY(!comm.PortOpen());
    const qsizetype eventsAfterLoss = rec.events.size();

    // Nothing more arrives, and waiting costs (almost) no CPU: the control does not let a
    // dead device spin the event loop.
    QElapsedTimer wall;
    wall.start();
    const double cpuBefore = cpuSeconds();
    QTest::qWait(500);
    const double cpu = cpuSeconds() - cpuBefore;
    const double elapsed = double(wall.elapsed()) / 1000.0;
    QCOMPARE(rec.events.size(), eventsAfterLoss);
    QVERIFY2(cpu < 0.5 * elapsed,
             qPrintable(QStringLiteral("CPU %1 s in %2 s of waiting").arg(cpu).arg(elapsed)));
    QVERIFY_THROWS_RUNTIME(comm.Output(QStringLiteral("x")), err::PortNotOpen);
    QVERIFY_THROWS_RUNTIME(comm.Input(), err::PortNotOpen);
    // Closing again is harmless.
    comm.setPortOpen(false);
    QCOMPARE(rec.events.size(), eventsAfterLoss);
}

void TestSerialControl::reopenAfterDeviceLoss() {
    auto peer = std::make_unique<PtyPeer>();
    QVERIFY(peer->linkAs(*home_, 9));
    SerialControl comm;
    comm.setCommPort(9);
    comm.setRThreshold(1);
    Recorder rec;
    rec.read = true;
    rec.attach(comm);
    comm.setPortOpen(true);
    peer->closeMaster();
    QVERIFY(QTest::qWaitFor([&] { return rec.count(SerialControl::EvDeviceLost) == 1; }, 3000));

    // The old device is gone: reopening fails until the link leads somewhere else.
    peer.reset();
    QVERIFY_THROWS_RUNTIME(comm.setPortOpen(true), err::PortOpenFailed);
    QVERIFY(!comm.PortOpen());

    PtyPeer replacement;
    QVERIFY(replacement.linkAs(*home_, 9));
    comm.setPortOpen(true);
    QVERIFY(comm.PortOpen());
    comm.Output(QStringLiteral("back"));
    QCOMPARE(replacement.waitFor(4, 3000), QByteArray("back"));
    QVERIFY(replacement.write("again"));
    QVERIFY(QTest::qWaitFor([&] { return rec.inputs() == "again"; }, 3000));

    // And a second loss is reported again, once.
    replacement.closeMaster();
    QVERIFY(QTest::qWaitFor([&] { return rec.count(SerialControl::EvDeviceLost) == 2; }, 3000));
    QVERIFY(!comm.PortOpen() && handlePostedEvents());
    QCOMPARE(rec.count(SerialControl::EvDeviceLost), 2);
}

void TestSerialControl::settingsAccepted_data() {
    // Each given before the port opens and while it is open.
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("speed");
    QTest::addColumn<bool>("twoStop");
    QTest::addColumn<bool>("whileOpen");
    const auto add = [](const char* settings, int speed, bool twoStop) {
        for (const bool whileOpen : {false, true})
            QTest::addRow("%s%s", settings, whileOpen ? " while open" : "")
                << QString::fromLatin1(settings) << speed << twoStop << whileOpen;
    };
    add("19200,N,8,1", B19200, false);
    add("9600,e,7,2", B9600, true);
    add("1200,O,6,1", B1200, false);
    add("115200,m,8,1", B115200, false);
    add("38400,S,8,2", B38400, true);
    add("300,n,5,1.5", B300, false);
    add("0019200,N,8,1", B19200, false);
    add("57600,N,8,2", B57600, true);
    add("4800,E,7,1", B4800, false);
}

void TestSerialControl::settingsAccepted() {
    QFETCH(QString, settings);
    QFETCH(int, speed);
    QFETCH(bool, twoStop);
    QFETCH(bool, whileOpen);

    PtyPeer peer;
    QVERIFY(peer.linkAs(*home_, 1));
    SerialControl comm;
    if (!whileOpen)
        comm.setSettings(settings);
    comm.setPortOpen(true);
    termios t = peer.slaveAttributes();
    if (whileOpen) {
        QCOMPARE(cfgetospeed(&t), speed_t(B9600)); // the default 9600,N,8,1
        QVERIFY(!(t.c_cflag & CSTOPB));
        comm.setSettings(settings);
        t = peer.slaveAttributes();
    }
    QCOMPARE(comm.Settings(), settings);

    // Applied to the device, with no flow control. (A pseudo-terminal keeps 8 data bits
    // and no parity whatever it is asked for, so those are not visible here: framing it
    // cannot carry is accepted.)
    QCOMPARE(int(cfgetospeed(&t)), speed);
    QCOMPARE(int(cfgetispeed(&t)), speed);
    QCOMPARE((t.c_cflag & CSTOPB) != 0, twoStop);
    QCOMPARE(t.c_cflag & CRTSCTS, tcflag_t(0));
    QCOMPARE(t.c_iflag & (IXON | IXOFF), tcflag_t(0));

    // The line carries every byte value as it is.
    comm.Output(allLatin1());
    QCOMPARE(peer.waitFor(256, 3000), allBytes());
}

void TestSerialControl::settingsRejectedKeepOldValue_data() {
    // Each given while the port is closed and while it is open.
    QTest::addColumn<QString>("settings");
    QTest::addColumn<bool>("whileOpen");
    const char* bad[] = {"",
                         "19200",
                         "19200,N,8",
                         "19200,N,8,1,1",
                         "0,N,8,1",
                         "-9600,N,8,1",
                         "+9600,N,8,1",
                         "96OO,N,8,1",
                         "99999999999,N,8,1",
                         "19200,X,8,1",
                         "19200,NN,8,1",
                         "19200,,8,1",
                         "19200,N,9,1",
                         "19200,N,4,1",
                         "19200,N,8,3",
                         "19200,N,8,0",
                         "19200,N,8,1.0",
                         "19200,N,8,2.5",
                         " 19200,N,8,1",
                         "19200,N,8,1 ",
                         "19200;N;8;1",
                         "57600,O,7"};
    for (const char* s : bad) {
        for (const bool whileOpen : {false, true})
            QTest::addRow("%s%s", *s ? s : "(empty)", whileOpen ? " while open" : "")
                << QString::fromLatin1(s) << whileOpen;
    }
}

void TestSerialControl::settingsRejectedKeepOldValue() {
    // A rejected string changes neither the property nor the line.
    QFETCH(QString, settings);
    QFETCH(bool, whileOpen);
    PtyPeer peer;
    QVERIFY(peer.linkAs(*home_, 1));
    SerialControl comm;
    comm.setObjectName(QStringLiteral("MSComm1"));
    comm.setSettings(QStringLiteral("4800,E,7,1"));
    if (whileOpen)
        comm.setPortOpen(true);
    const RuntimeError e = caught([&] { comm.setSettings(settings); });
    QCOMPARE(e.number(), err::InvalidPropertyValue);
    QCOMPARE(e.source(), QStringLiteral("MSComm1"));
    QCOMPARE(comm.Settings(), QStringLiteral("4800,E,7,1"));
    if (!whileOpen)
        return;
    const termios t = peer.slaveAttributes();
    QCOMPARE(cfgetospeed(&t), speed_t(B4800));
    // The line still carries bytes.
    comm.Output(QStringLiteral("x"));
    QCOMPARE(peer.waitFor(1, 3000), QByteArray("x"));
}

void TestSerialControl::portNumberAndThresholdRules() {
    PtyPeer peer;
    QVERIFY(peer.linkAs(*home_, 4));
    SerialControl comm;
    comm.setObjectName(QStringLiteral("MSComm1"));
    QCOMPARE(comm.CommPort(), std::int16_t(1));
    QVERIFY_THROWS_RUNTIME(comm.setCommPort(0), err::InvalidPortNumber);
    QVERIFY_THROWS_RUNTIME(comm.setCommPort(256), err::InvalidPortNumber);
    QVERIFY_THROWS_RUNTIME(comm.setCommPort(-3), err::InvalidPortNumber);
    QCOMPARE(comm.CommPort(), std::int16_t(1));
    comm.setCommPort(255);
    QCOMPARE(comm.CommPort(), std::int16_t(255));
    comm.setCommPort(4);

    comm.setPortOpen(true);
    const RuntimeError e = caught([&] { comm.setCommPort(5); });
    QCOMPARE(e.number(), err::PortAlreadyOpen);
    QCOMPARE(e.source(), QStringLiteral("MSComm1"));
    QCOMPARE(comm.CommPort(), std::int16_t(4));
    QVERIFY_THROWS_RUNTIME(comm.setPortOpen(true), err::PortAlreadyOpen);
    QVERIFY(comm.PortOpen());
    comm.setPortOpen(false);
    comm.setCommPort(5);
    QCOMPARE(comm.CommPort(), std::int16_t(5));

    QVERIFY_THROWS_RUNTIME(comm.setRThreshold(-1), err::InvalidPropertyValue);
    QVERIFY_THROWS_RUNTIME(comm.setSThreshold(-1), err::InvalidPropertyValue);
    QCOMPARE(comm.RThreshold(), std::int16_t(0));
    QCOMPARE(comm.SThreshold(), std::int16_t(0));
    comm.setRThreshold(1);
    comm.setSThreshold(1);
    QCOMPARE(comm.RThreshold(), std::int16_t(1));
    QCOMPARE(comm.SThreshold(), std::int16_t(1));
}

void TestSerialControl::modemLinesIgnoredWithoutHardware() {
    // A pseudo-terminal has no modem lines: raising them is not an error.
    PtyPeer peer;
    QVERIFY(peer.linkAs(*home_, 1));
    SerialControl comm;
    comm.setDTREnable(true);
    comm.setRTSEnable(true);
    comm.setPortOpen(true);
    QVERIFY(comm.PortOpen());
    comm.setDTREnable(false);
    comm.setRTSEnable(false);
    comm.setDTREnable(true);
    QVERIFY(comm.DTREnable());
    QVERIFY(!comm.RTSEnable());
    comm.Output(QStringLiteral("lines"));
    QCOMPARE(peer.waitFor(5, 3000), QByteArray("lines"));
}

void TestSerialControl::handlerMayCloseAndReopen() {
    Line line;
    auto& [peer, comm, rec] = line;
    rec.extra = [&](SerialControl& c, const Event& e) {
        if (e.input.isEmpty())
            return;
        if (rec.inputs() == "reopen") {
            c.setPortOpen(false);
            QVERIFY(!c.PortOpen());
            c.setPortOpen(true);
            c.Output(QStringLiteral("reopened"));
        } else if (rec.inputs().endsWith("close")) {
            c.setPortOpen(false);
        }
    };
    QVERIFY(line.open(*home_, 2, 1));

    QVERIFY(peer.write("reopen"));
    QCOMPARE(peer.waitFor(8, 3000), QByteArray("reopened"));
    QVERIFY(comm.PortOpen());
    // Events keep flowing on the reopened port.
    QVERIFY(peer.write("more"));
    QVERIFY(QTest::qWaitFor([&] { return rec.inputs() == "reopenmore"; }, 3000));

    QVERIFY(peer.write("close"));
    QVERIFY(QTest::qWaitFor([&] { return !comm.PortOpen(); }, 3000));
    // Nobody reads the line any more: the bytes stay where they arrived.
    QVERIFY(peer.write("unheard"));
    QVERIFY(peer.waitUntilWaitingAtSlave(7, 3000));
    QVERIFY(handlePostedEvents());
    QCOMPARE(rec.inputs(), QByteArray("reopenmoreclose"));
}

void TestSerialControl::closeAndDestroyWhileOpenDeliverOutput() {
    PtyPeer peer;
    QVERIFY(peer.linkAs(*home_, 3));
    {
        SerialControl comm;
        comm.setCommPort(3);
        comm.setPortOpen(true);
        comm.Output(QStringLiteral("bye"));
        comm.setPortOpen(false);
        QVERIFY(!comm.PortOpen());
    }
    QCOMPARE(peer.waitFor(3, 3000), QByteArray("bye"));

    auto comm = std::make_unique<SerialControl>();
    comm->setCommPort(3);
    comm->setRThreshold(1);
    Recorder rec;
    rec.attach(*comm);
    comm->setPortOpen(true);
    comm->Output(QStringLiteral("last words"));
    QVERIFY(peer.write("pending"));
    comm.reset(); // open, with input waiting
    QCOMPARE(peer.waitFor(10, 3000), QByteArray("last words"));

    // The port is free again afterwards.
    SerialControl next;
    next.setCommPort(3);
    next.setPortOpen(true);
    QVERIFY(next.PortOpen());
}

QTEST_MAIN(TestSerialControl)
#include "tst_serialcontrol.moc"
