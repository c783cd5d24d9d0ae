// Faults of the receive log file while both links deliver: the file deleted, cut short,
// replaced by a folder, its folder removed or made a plain file, the drive mounted
// read-only, the disk full (a small tmpfs), and a file-size limit. Throughout, the box
// shows everything received, in order, exactly as it would without the fault; nothing
// is reported; and once the file can be written again it catches up with the box.
//
// The read-only drive and the full disk are mounts in a mount namespace of this test's
// own, made before anything else starts; where the system does not allow one, those
// rows are skipped.

#include "tst_faults_common.h"

#include "platform/process.h"
#include "platform/richtextbox.h"
#include "platform/serialcontrol.h"

#include <QApplication>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace faults;

namespace {

bool privateMounts = false;

// Serial bytes and TCP/IP chunks; large enough that a full disk cannot take them in the
// pages a truncated file gives back.
QByteArray serialText(int n) {
    return "s" + QByteArray::number(n) + QByteArray(5000, char('a' + n)) + "\r\n";
}
QByteArray tcpText(int n) {
    return "t" + QByteArray::number(n) + QByteArray(7000, char('A' + n)) + "\r\n";
}

// A fault and how it ends, on the scratch home `home` of a running window.
struct Fault {
    virtual ~Fault() = default;
    virtual bool start(const QString& home) = 0;
    virtual bool end(const QString& home) = 0;
    // Runs in the scratch home before the window is created.
    virtual void prepare(const QString&) {}
};

QString drive(const QString& home) {
    return home + QStringLiteral("/drive_c");
}
QString logOf(const QString& home) {
    return drive(home) + QStringLiteral("/ZEL.txt");
}

struct Deleted : Fault {
    bool start(const QString& h) override { return QFile::remove(logOf(h)); }
    bool end(const QString&) override { return true; }
};
struct CutShort : Fault {
    bool start(const QString& h) override { return QFile(logOf(h)).resize(2); }
    bool end(const QString&) override { return true; }
};
struct FolderInstead : Fault {
    bool start(const QString& h) override {
        return QFile::remove(logOf(h)) && QDir().mkdir(logOf(h));
    }
    bool end(const QString& h) override { return QDir().rmdir(logOf(h)); }
};
struct DriveRemoved : Fault {
    bool start(const QString& h) override { return QDir(drive(h)).removeRecursively(); }
    bool end(const QString&) override { return true; }
};
struct DriveIsAFile : Fault {
    bool start(const QString& h) override {
        QFile f(drive(h));
        return QDir(drive(h)).removeRecursively() && f.open(QIODevice::WriteOnly);
    }
    bool end(const QString& h) override { return QFile::remove(drive(h)); }
};
struct ReadOnlyDrive : Fault {
    bool start(const QString& h) override {
        const QByteArray d = QFile::encodeName(drive(h));
        return ::mount(d.constData(), d.constData(), nullptr, MS_BIND, nullptr) == 0 &&
               ::mount(nullptr, d.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                       nullptr) == 0;
    }
    bool end(const QString& h) override {
        return ::umount2(QFile::encodeName(drive(h)).constData(), MNT_DETACH) == 0;
    }
};
struct DiskFull : Fault {
    void prepare(const QString& h) override {
        QDir().mkpath(drive(h));
        mounted = ::mount("quorlane-faults", QFile::encodeName(drive(h)).constData(), "tmpfs",
                          MS_NOSUID | MS_NODEV, "size=256k") == 0;
    }
    bool start(const QString& h) override {
        // Fill what is left with a file of someone else's.
        QFile filler(drive(h) + QStringLiteral("/filler"));
        if (!mounted || !filler.open(QIODevice::WriteOnly))
            return false;
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        return true;
    }
    bool end(const QString& h) override {
        return QFile::remove(drive(h) + QStringLiteral("/filler"));
    }
    ~DiskFull() override {}
    bool mounted = false;
};
struct SizeLimit : Fault {
    bool start(const QString& h) override {
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit r = saved;
        r.rlim_cur = rlim_t(fileSize(logOf(h)) + 3);
        return ::setrlimit(RLIMIT_FSIZE, &r) == 0;
    }
    bool end(const QString&) override { return ::setrlimit(RLIMIT_FSIZE, &saved) == 0; }
    rlimit saved{};
};

} // namespace

class FaultsLogTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        qputenv("QUORLANE_LOOPBACK_ONLY", "1");
        // As the program does: a file-size limit is an error of the write, not a signal.
        prepareProcess();
    }
    void logFaults_data();
    void logFaults();
    void caughtUpOnClose_data();
    void caughtUpOnClose();
    void copyOntoFullDisk();
};

void FaultsLogTest::logFaults_data() {
    QTest::addColumn<std::shared_ptr<Fault>>("fault");
    QTest::addColumn<bool>("needsMounts");
    // A file that is merely gone or short is written afresh by the next event.
    QTest::addColumn<bool>("healsAtOnce");
    // Which link's event comes first once the fault is over.
    QTest::addColumn<bool>("tcpFirst");
    using F = std::shared_ptr<Fault>;
    QTest::newRow("file deleted") << F(new Deleted) << false << true << true;
    QTest::newRow("file cut short") << F(new CutShort) << false << true << false;
    QTest::newRow("drive folder removed") << F(new DriveRemoved) << false << true << true;
    QTest::newRow("folder instead of the file") << F(new FolderInstead) << false << false << true;
    QTest::newRow("folder, serial first") << F(new FolderInstead) << false << false << false;
    QTest::newRow("drive folder is a file") << F(new DriveIsAFile) << false << false << false;
    QTest::newRow("read-only drive") << F(new ReadOnlyDrive) << true << false << true;
    QTest::newRow("disk full") << F(new DiskFull) << true << false << true;
    QTest::newRow("disk full, serial first") << F(new DiskFull) << true << false << false;
    QTest::newRow("file-size limit") << F(new SizeLimit) << false << false << true;
    QTest::newRow("size limit, serial first") << F(new SizeLimit) << false << false << false;
}

void FaultsLogTest::logFaults() {
    QFETCH(std::shared_ptr<Fault>, fault);
    QFETCH(bool, needsMounts);
    QFETCH(bool, healsAtOnce);
    QFETCH(bool, tcpFirst);
    if (needsMounts && !privateMounts)
        QSKIP("no mount namespace of our own here");
    LoopbackServer server;
    TcpApp t(server, [&](ScratchHome& home) { fault->prepare(home.path()); });
    auto& w = t.app.window();
    const QString home = t.app.home.path();
    // Whatever the test leaves mounted goes before the scratch home is removed.
    struct Unmount {
        QString path;
        ~Unmount() { ::umount2(QFile::encodeName(path).constData(), MNT_DETACH); }
    } unmount{drive(home)};

    QCOMPARE(t.app.com5->waitFor(5, Wait), QByteArray("rip\r\n"));
    QVERIFY(t.connect());
    QVERIFY(server.waitForBytes(3, Wait));
    QTRY_COMPARE(t.app.logBytes(), QByteArray("\r\n\r\n"));

    // What the box must show: serial text as it came, each TCP/IP chunk as one line.
    QByteArray shown = "\r\n\r\n";
    int n = 0;
    auto serial = [&] {
        const QByteArray text = serialText(++n);
        shown += text;
        return t.app.com5->write(text);
    };
    // Each chunk the socket hands over is one line.
    Chunks chunks(w.Winsock1);
    auto tcp = [&] {
        const QByteArray text = tcpText(++n);
        const qsizetype first = chunks.sizes.size();
        const qint64 before = chunks.total();
        if (!server.send(text))
            return false;
        if (!waitUntil([&] { return chunks.total() >= before + text.size(); }))
            return false;
        qsizetype at = 0;
        for (qsizetype c = first; c < chunks.sizes.size(); ++c) {
            shown += text.mid(at, chunks.sizes[c]) + "\r\n";
            at += chunks.sizes[c];
        }
        return true;
    };
    auto showsAll = [&] {
        waitUntil([&] { return w.rtfReceive->textLength() >= shown.size(); });
        return w.rtfReceive->Text() == QString::fromLatin1(shown) &&
               w.rtfReceive->SelStart() == w.rtfReceive->textLength();
    };
    QVERIFY(serial());
    QVERIFY(showsAll());
    QVERIFY(tcp());
    QVERIFY(showsAll());
    QCOMPARE(t.app.logBytes(), shown);

    QVERIFY(fault->start(home));
    // A failing check must not leave the fault in place for the rows after it.
    struct Ending {
        Fault& fault;
        QString home;
        bool ended = false;
        ~Ending() {
            if (!ended)
                fault.end(home);
        }
    } ending{*fault, home};
    for (int i = 0; i < 2; ++i) {
        QVERIFY(tcp());
        QVERIFY(showsAll());
        QVERIFY(serial());
        QVERIFY(showsAll());
        if (healsAtOnce)
            QTRY_COMPARE(t.app.logBytes(), shown);
    }
    if (!healsAtOnce)
        QVERIFY(t.app.logBytes() != shown);

    // The fault ends: the next event of either link brings the file back in step.
    ending.ended = true;
    QVERIFY(fault->end(home));
    for (const bool viaTcp : {tcpFirst, !tcpFirst, tcpFirst}) {
        QVERIFY(viaTcp ? tcp() : serial());
        QVERIFY(showsAll());
        QTRY_COMPARE(t.app.logBytes(), shown);
    }

    // Once more, and this time the unit has nothing more to say after the fault: the
    // file catches up by itself.
    if (!healsAtOnce) {
        QVERIFY(fault->start(home));
        ending.ended = false;
        QVERIFY(tcp());
        QVERIFY(serial());
        QVERIFY(showsAll());
        QVERIFY(t.app.logBytes() != shown);
        ending.ended = true;
        QVERIFY(fault->end(home));
        QTRY_COMPARE_WITH_TIMEOUT(t.app.logBytes(), shown, Wait);
    }

    QVERIFY(t.app.messages->texts.isEmpty());
    QCOMPARE(w.tcpConnected, True);
    QVERIFY(w.MSComm1->PortOpen());
}

void FaultsLogTest::caughtUpOnClose_data() {
    QTest::addColumn<bool>("closeFirst"); // closed (and kept), or destroyed at once
    QTest::newRow("window closed") << true;
    QTest::newRow("window destroyed") << false;
}

void FaultsLogTest::caughtUpOnClose() {
    QFETCH(bool, closeFirst);
    // The window built by hand, so that its log outlives it.
    ScratchHome home;
    PtyPeer com5;
    QVERIFY(com5.linkAs(home, 5));
    PlatformParts parts;
    parts.messageBox = std::make_shared<RecordingMessageBox>();
    parts.makeSocket = [] { return std::make_unique<RecordingSocketControl>(); };
    auto w = std::make_unique<frmQuorlaneTest>(parts);
    const QString log = logOf(home.path());
    QCOMPARE(com5.waitFor(5, Wait), QByteArray("rip\r\n"));
    QVERIFY(com5.write("one\r\n"));
    QTRY_COMPARE(fileSize(log), qint64(9));

    // The log is a folder while the unit speaks; the folder goes, and the window is closed
    // before anything else happens: what it showed is in the log.
    QVERIFY(QFile::remove(log) && QDir().mkdir(log));
    QVERIFY(com5.write("two\r\n"));
    QTRY_VERIFY(w->rtfReceive->Text().endsWith(QStringLiteral("two\r\n")));
    const QByteArray shown = w->rtfReceive->Text().toLatin1();
    QVERIFY(QDir().rmdir(log));
    if (closeFirst)
        QVERIFY(w->close());
    else
        w.reset();
    QFile f(log);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), shown);
}

void FaultsLogTest::copyOntoFullDisk() {
    if (!privateMounts)
        QSKIP("no mount namespace of our own here");
    AppHarness app;
    auto& w = app.window();
    // A small disk that already holds an earlier copy and is full.
    const QString disk = app.home.path() + QStringLiteral("/usb");
    QVERIFY(QDir().mkpath(disk));
    const QByteArray mountPoint = QFile::encodeName(disk);
    QVERIFY(::mount("quorlane-faults", mountPoint.constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                    "size=64k") == 0);
    struct Unmount {
        QByteArray path;
        ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
    } unmount{mountPoint};
    const QString copy = disk + QStringLiteral("/copy.txt");
    {
        QFile f(copy);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("earlier copy");
    }
    QFile filler(disk + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    while (filler.write(QByteArray(4096, 'f')) == 4096 && filler.flush()) {
    }
    filler.close();

    // A log larger than the disk: the copy fails, is reported, and leaves the earlier
    // copy as it was and nothing else behind.
    const QByteArray received = QByteArray("0123456789abcdef\r\n").repeated(6000);
    QVERIFY(app.com5->write(received));
    QTRY_VERIFY(app.logBytes().endsWith(received));
    app.dialogs->answers = {copy, copy};
    w.btnSave[0]->click();
    QCOMPARE(app.messages->texts.size(), 1);
    QVERIFY(app.messages->texts[0].startsWith(QStringLiteral("Error Number: [61] ")));
    QVERIFY(app.messages->texts[0].endsWith(QStringLiteral("Active Control: btnSave_Click")));
    QFile earlier(copy);
    QVERIFY(earlier.open(QIODevice::ReadOnly));
    QCOMPARE(earlier.readAll(), QByteArray("earlier copy"));
    QCOMPARE(QDir(disk).entryList(QDir::Files | QDir::Hidden), QStringList({"copy.txt", "filler"}));

    // Room again: the copy is made.
    QVERIFY(QFile::remove(disk + QStringLiteral("/filler")));
    QVERIFY(::mount(nullptr, mountPoint.constData(), nullptr, MS_REMOUNT, "size=1m") == 0);
    w.btnSave[0]->click();
    QCOMPARE(app.messages->texts.size(), 1);
    QFile made(copy);
    QVERIFY(made.open(QIODevice::ReadOnly));
    QCOMPARE(made.readAll(), app.logBytes());
}

int main(int argc, char** argv) {
    // A mount namespace of our own, made while this is the only thread, in which mounts
    // stay private and vanish with the process.
    privateMounts = ::unshare(CLONE_NEWNS) == 0 &&
                    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    QApplication app(argc, argv);
    FaultsLogTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults_log.moc"
