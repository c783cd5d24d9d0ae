// Faults of the receive log file while both links deliver: the file deleted, cut short,
// replaced by a folder, its folder removed or made a plain file, the drive mounted
// read-only, the disk full (a small tmpfs), and a file-size limit. Throughout, the box
// shows everything received, in order, exactly as it would without the fault; nothing
// is reported; and once the file can be written again it catches up with the box.
//
// The read-only drive and the full disk are mounts in a mount namespace of this test's
// own, made before anything else starts; where the system does not allow one, those
// rows are skipped.
//
// And the proof that keeping the log file in step with the box (writing or reading only
// what is new) leaves box and file byte for byte as the box's whole-file operations do,
// over seeded random sequences of everything that can happen to them, someone else
// changing the file included. QUORLANE_EQUIVALENCE_SEQUENCES sets how many random
// sequences run (default 24), QUORLANE_EQUIVALENCE_SEED the first seed.

#include "tst_faults_common.h"

#include "log/filebuttons.h"
#include "log/receivelog.h"
#include "platform/base/process.h"
#include "platform/base/runtimeerror.h"
#include "platform/files/files.h"
#include "platform/link/serialcontrol.h"
#include "platform/text/textview.h"
#include "platform/widgets/richtextbox.h"

#include <QApplication>
#include <QTemporaryDir>

#include <random>

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

// One side of a comparison: a box and its log file in a scratch folder of its own, kept
// in step by the log (writing or reading only what is new) or by the box's whole-file
// operations alone.
struct Side {
    explicit Side(bool wholeFileOnly) { log.setWholeFileOnly(wholeFileOnly); }
    QTemporaryDir dir;
    QString path = dir.path() + QStringLiteral("/ZEL.txt");
    RichTextBox box;
    ReceiveLog log{box, path};
    std::uint64_t shortcuts() const {
        return log.fileSync().shortcutSaves() + log.fileSync().shortcutLoads();
    }
};

// The random events. Pieces favour CR and LF (so that pairs split over events), and
// take any byte value.
class Events {
public:
    explicit Events(std::uint64_t seed) : rng_(seed) {}
    int below(int n) { return int(rng_() % std::uint64_t(n)); }
    QByteArray piece(int maxLen) {
        QByteArray p;
        if (below(30) == 0)
            p = "{\\rtf1 "; // the start of rich text, where a file begins or not
        if (below(5) == 0)
            p += '\n'; // perhaps the second half of a break
        const int n = below(maxLen + 1);
        for (int i = 0; i < n; ++i) {
            const int r = below(100);
            p.append(r < 12   ? '\r'
                     : r < 24 ? '\n'
                     : r < 75 ? char('a' + below(26))
                              : char(below(256)));
        }
        if (below(5) == 0)
            p += '\r'; // perhaps the first half of one
        return p;
    }

private:
    std::mt19937_64 rng_;
};

enum class Step {
    Serial,
    SerialNoData,
    Tcp,
    Caret,
    Type,
    Erase,
    EraseAll,
    ExtAppend,
    ExtTruncate,
    ExtSameSize,
    ExtDelete,
    ExtReplace,
    ExtRich,
    Reload,
    Count
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
    void viewingTheCutLogLosesNothing();
    void reloadForgetsWaitingCr();
    void loneCrWaitsAcrossReads();
    void savedAgainAppendsJustTheNewText();
    void fileTurningRichIsReadWhole();
    void shortcutMatchesWholeFile();
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

void FaultsLogTest::viewingTheCutLogLosesNothing() {
    // The log is cut short behind the program's back and then shown in the viewer: the
    // next TCP/IP chunk still finds the file short of what the box shows, and saves the
    // box over it before appending, so the reload takes nothing out of view.
    AppHarness app;
    auto& w = app.window();
    QCOMPARE(app.com5->waitFor(5, Wait), QByteArray("rip\r\n"));
    QVERIFY(app.com5->write("one\r\n"));
    QTRY_COMPARE(app.logBytes(), QByteArray("\r\n\r\none\r\n"));
    QVERIFY(QFile(app.logPath()).resize(2));
    app.dialogs->answers.push_back(app.logPath());
    w.btnSave[1]->click();
    QVERIFY(w.fileButtons().viewer());
    app.socket->deliver("two");
    QCOMPARE(app.logBytes(), QByteArray("\r\n\r\none\r\ntwo\r\n"));
    QCOMPARE(w.rtfReceive->Text(), QStringLiteral("\r\n\r\none\r\ntwo\r\n"));
    QVERIFY(app.messages->texts.isEmpty());
}

void FaultsLogTest::reloadForgetsWaitingCr() {
    // A serial piece ending in a lone CR lands in the middle; a TCP/IP chunk reloads the
    // box; an LF received at the same place then is a break of its own, as after a
    // whole load.
    Side fast(false), whole(true);
    for (Side* s : {&fast, &whole}) {
        s->log.startAfresh();
        s->log.serialInsert("0123456789");
        s->log.saveBox();
        s->box.setSelStart(5);
        s->log.serialInsert("ab\r");
        s->log.saveBox();
        s->log.tcpChunk("tcp");
        s->box.setSelStart(9); // right after the CR LF that "ab\r" made
        s->log.serialInsert("\nx");
        s->log.saveBox();
    }
    QCOMPARE(fast.box.Text(), whole.box.Text());
    QCOMPARE(readFile(fast.path), readFile(whole.path));
    QCOMPARE(readFile(fast.path), QByteArray("\r\n\r\n0ab\r\n\r\nx123456789tcp\r\n"));
    QVERIFY(fast.log.fileSync().shortcutLoads() > 0);
}

void FaultsLogTest::loneCrWaitsAcrossReads() {
    // Someone else leaves the log ending in a lone CR; reads that find nothing new keep
    // waiting for its LF, and the LF that starts the next chunk completes that break.
    Side fast(false), whole(true);
    for (Side* s : {&fast, &whole}) {
        s->log.startAfresh();
        QFile f(s->path);
        QVERIFY(f.open(QIODevice::Append));
        f.write("b\r");
        f.close();
        s->log.reloadFromLog();
        s->log.reloadFromLog();
        s->log.tcpChunk("\nc");
    }
    QCOMPARE(readFile(fast.path), QByteArray("\r\nb\r\nc\r\n"));
    QCOMPARE(fast.box.Text(), QStringLiteral("\r\nb\r\nc\r\n"));
    QCOMPARE(fast.box.Text(), whole.box.Text());
    QCOMPARE(fast.log.fileSync().shortcutLoads(), std::uint64_t(2));
}

void FaultsLogTest::savedAgainAppendsJustTheNewText() {
    // Saved again after more text: the log appends just the new text to the file it
    // wrote, and the file still equals Text.
    Side s(false);
    s.box.setText(QString::fromLatin1(allBytes() + "\r\nend\r"));
    s.log.saveBox();
    QCOMPARE(readFile(s.path), s.box.Text().toLatin1());
    s.box.setSelStart(s.box.textLength());
    s.log.serialInsert("more");
    s.log.saveBox();
    QCOMPARE(s.log.fileSync().shortcutSaves(), std::uint64_t(1));
    QCOMPARE(readFile(s.path), s.box.Text().toLatin1());
}

void FaultsLogTest::fileTurningRichIsReadWhole() {
    // A log that starts with "{\rtf", or could still come to, is read as rich text.
    for (const char* serial : {"{\\rtf1 hello}", ""}) {
        Side fast(false), whole(true);
        for (Side* s : {&fast, &whole}) {
            s->log.startAfresh();
            QTest::keyClick(s->box.view(), Qt::Key_A, Qt::ControlModifier);
            QTest::keyClick(s->box.view(), Qt::Key_Delete);
            s->log.serialInsert(serial);
            s->log.saveBox();
            s->log.tcpChunk("{\\rtf1 x}");
            QVERIFY(s->box.isRich());
        }
        QCOMPARE(fast.box.Text(), whole.box.Text());
    }
}

void FaultsLogTest::shortcutMatchesWholeFile() {
    const int sequences = qEnvironmentVariableIsSet("QUORLANE_EQUIVALENCE_SEQUENCES")
                              ? qEnvironmentVariableIntValue("QUORLANE_EQUIVALENCE_SEQUENCES")
                              : 24;
    const std::uint64_t firstSeed =
        qEnvironmentVariableIsSet("QUORLANE_EQUIVALENCE_SEED")
            ? qEnvironmentVariable("QUORLANE_EQUIVALENCE_SEED").toULongLong()
            : 0x51DE'0001;
    constexpr int kSteps = 160;
    std::array<int, int(Step::Count)> counts{};
    std::uint64_t shortcutSaves = 0, shortcutLoads = 0, stampBumps = 0;

    for (int seq = 0; seq < sequences; ++seq) {
        const std::uint64_t seed = firstSeed + std::uint64_t(seq);
        Events ev(seed);
        Side fast(false), whole(true);
        Side* sides[] = {&fast, &whole};
        std::int64_t lastSerialEnd = 0;
        for (Side* s : sides)
            s->log.startAfresh();

        for (int step = 0; step < kSteps; ++step) {
            const int r = ev.below(100);
            const Step kind = r < 30   ? Step::Serial
                              : r < 34 ? Step::SerialNoData
                              : r < 56 ? Step::Tcp
                              : r < 61 ? Step::Caret
                              : r < 68 ? Step::Type
                              : r < 73 ? Step::Erase
                              : r < 74 ? Step::EraseAll
                              : r < 78 ? Step::ExtAppend
                              : r < 81 ? Step::ExtTruncate
                              : r < 84 ? Step::ExtSameSize
                              : r < 86 ? Step::ExtDelete
                              : r < 89 ? Step::ExtReplace
                              : r < 90 ? Step::ExtRich
                                       : Step::Reload;
            ++counts[int(kind)];
            // Everything random is drawn once and applied to both sides alike.
            const QByteArray text = ev.piece(kind == Step::Tcp ? 30 : 12);
            const std::int64_t len = fast.box.textLength();
            // The caret goes to a random place, to the end, or back to where the last
            // serial piece ended (where a break it left open could be closed).
            const int spot = ev.below(5);
            const std::int64_t a = spot == 0 ? lastSerialEnd : ev.below(int(len) + 1);
            const std::int64_t b = ev.below(int(len) + 1);
            const bool select = ev.below(3) == 0, atEnd = spot >= 3;
            const QByteArray bytes = ev.piece(20);
            const int fileCut = ev.below(1 << 20);
            const QByteArray typed = QByteArray("xy z").left(1 + ev.below(4));
            const bool enter = ev.below(4) == 0, backspace = ev.below(2) == 0;

            QList<bool> threw;
            for (Side* s : sides) {
                RichTextBox& box = s->box;
                const files::Stamp before = files::stamp(s->path);
                const QByteArray contentBefore = readFile(s->path);
                try {
                    switch (kind) {
                    case Step::Serial: // as MSComm1_OnComm does it, after a click somewhere
                        if (!atEnd) {
                            box.setSelStart(a);
                            box.setSelLength(select ? b - a : 0);
                        }
                        if (s == &fast) {
                            const std::int64_t at = box.SelStart() + box.SelLength();
                            const std::int64_t before = box.textLength();
                            s->log.serialInsert(text);
                            lastSerialEnd = at + box.textLength() - before;
                        } else {
                            s->log.serialInsert(text);
                        }
                        (void)box.tail(50);
                        s->log.saveBox();
                        break;
                    case Step::SerialNoData:
                        s->log.saveBox();
                        break;
                    case Step::Tcp:
                        s->log.tcpChunk(text);
                        break;
                    case Step::Caret:
                        box.setSelStart(a);
                        box.setSelLength(b);
                        break;
                    case Step::Type:
                        box.setSelStart(a);
                        QTest::keyClicks(box.view(), QString::fromLatin1(typed));
                        if (enter)
                            QTest::keyClick(box.view(), Qt::Key_Return);
                        break;
                    case Step::Erase:
                        box.setSelStart(std::min(a, b));
                        box.setSelLength(select ? std::abs(b - a) : 0);
                        QTest::keyClick(box.view(), backspace ? Qt::Key_Backspace : Qt::Key_Delete);
                        break;
                    case Step::EraseAll:
                        QTest::keyClick(box.view(), Qt::Key_A, Qt::ControlModifier);
                        QTest::keyClick(box.view(), Qt::Key_Delete);
                        break;
                    case Step::ExtAppend: {
                        QFile f(s->path);
                        if (f.open(QIODevice::Append))
                            f.write(bytes);
                        break;
                    }
                    case Step::ExtTruncate: {
                        const qint64 size = QFileInfo(s->path).size();
                        QFile::resize(s->path, size ? fileCut % (size + 1) : 0);
                        break;
                    }
                    case Step::ExtSameSize: { // in place: same inode, same size
                        QFile f(s->path);
                        if (f.open(QIODevice::ReadWrite) && f.size() > 0) {
                            QByteArray all = f.readAll();
                            const qsizetype at = fileCut % all.size();
                            all[at] = char(all[at] ^ 0x21);
                            f.seek(0);
                            f.write(all);
                        }
                        break;
                    }
                    case Step::ExtDelete:
                        QFile::remove(s->path);
                        break;
                    case Step::ExtReplace: // a new file renamed over the log
                    case Step::ExtRich: {
                        const QString tmp = s->path + QStringLiteral(".new");
                        QVERIFY(writeFile(tmp, kind == Step::ExtRich
                                                   ? QByteArray("{\\rtf1 rich\\par ") + bytes + "}"
                                                   : bytes));
                        QFile::remove(s->path);
                        QFile::rename(tmp, s->path);
                        break;
                    }
                    case Step::Reload:
                        s->log.reloadFromLog();
                        break;
                    case Step::Count:
                        break;
                    }
                    threw << false;
                } catch (const RuntimeError&) {
                    threw << true;
                }
                // A change by someone else is known by the size and times it leaves. Where
                // the file system gave the rewritten file the very stamp it had, nothing
                // could tell: move its time on, as the next clock tick would.
                const files::Stamp after = files::stamp(s->path);
                if (kind >= Step::ExtAppend && kind <= Step::ExtRich && after.exists &&
                    after == before && readFile(s->path) != contentBefore) {
                    QFile f(s->path);
                    f.open(QIODevice::ReadWrite);
                    f.setFileTime(f.fileTime(QFileDevice::FileModificationTime).addSecs(1),
                                  QFileDevice::FileModificationTime);
                    ++stampBumps;
                }
            }

            const QByteArray where = QStringLiteral("seed %1 step %2 (%3)")
                                         .arg(seed)
                                         .arg(step)
                                         .arg(int(kind))
                                         .toLatin1();
            QVERIFY2(threw[0] == threw[1], where);
            QVERIFY2(fast.box.isRich() == whole.box.isRich(), where);
            QVERIFY2(fast.box.Text() == whole.box.Text(), where);
            QVERIFY2(fast.box.SelStart() == whole.box.SelStart(), where);
            QVERIFY2(fast.box.SelLength() == whole.box.SelLength(), where);
            QVERIFY2(readFile(fast.path) == readFile(whole.path), where);
            QVERIFY2(fast.log.fileBehind() == whole.log.fileBehind(), where);
        }
        QCOMPARE(whole.shortcuts(), std::uint64_t(0));
        shortcutSaves += fast.log.fileSync().shortcutSaves();
        shortcutLoads += fast.log.fileSync().shortcutLoads();
    }
    // The shortcut must really have been taken, or nothing was compared.
    if (sequences > 0) {
        QVERIFY(shortcutSaves > std::uint64_t(counts[int(Step::Serial)]) / 4);
        QVERIFY(shortcutLoads > std::uint64_t(counts[int(Step::Tcp)]) / 4);
    }
    qInfo("%d sequences of %d steps: %llu shortcut saves, %llu shortcut loads, %llu stamps "
          "moved on",
          sequences, kSteps, (unsigned long long)shortcutSaves, (unsigned long long)shortcutLoads,
          (unsigned long long)stampBumps);
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
