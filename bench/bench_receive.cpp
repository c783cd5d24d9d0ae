// What receiving costs, with the receive box keeping its log file in step (writing or
// reading only what is new) and, in the same run and the same window, with the
// whole-file operations (every serial event saves the whole box, every TCP/IP chunk
// reloads the whole log).
//
//   bench_receive [--sizes 10k,1m,10m,50m] [--with-256m] [--with-1g] [--seconds S]
//                 [--events N] [--bulk MB] [--ref-events N] [--ref-seconds S]
//                 [--no-reference] [--quick] [--accessible] [--only PHASE]
//                 [--save FILE] [--against FILE]
//
// The real main window runs offscreen in a scratch QUORLANE_HOME, with a pseudo-terminal
// as COM 5 and a real socket connected to a loopback server on 127.0.0.1. A sender
// thread plays the unit: over the pseudo-terminal and over TCP, paced (1,920 bytes/s in
// 10 ms slices of about 19 bytes, the serial line rate, and 11,520 bytes/s, 115,200 baud)
// or as fast as the window takes it. At each log size it prints, for the window as built
// and beside it for the whole-file operations:
//   - time per serial event and per TCP/IP chunk (median over --events pieces);
//   - processor time per second of received text at both rates, and for the serial line
//     rate the same for `cat` copying the same paced stream from a pseudo-terminal to a
//     file at the same time (its floor);
//   - bulk throughput into box and log on each link, with the longest gap of a 10 ms
//     timer on the window meanwhile;
//   - peak memory (VmHWM), also right after the bulk serial phase against the log size
//     then (`--only bulkmemory` runs that phase alone);
//   - what reading the log costs: scrolling to a line anywhere and painting it, a screen
//     reader's request for a line's worth of text anywhere and for the next line, Save To
//     File and Open File of the log (with the memory the viewer added);
// and once the processor share of the two-second connect wait with the real clock. The
// whole-file reference is capped (--ref-events pieces, --ref-seconds of paced or bulk
// data) because it grows with the log. After every phase the box and the log must hold
// exactly what was sent plus the line ends the rules add; the run fails otherwise.
//
// The memory figures are the window's own: bulk text (filling the log to a size, the bulk
// phases) is made piece by piece as it is sent, and checked against the log by making it
// again from the same start, so that the process never holds more of it than a piece.
//
// --with-256m and --with-1g add those log sizes (filling a gigabyte takes a few minutes).
// --save FILE keeps the figures of the window as built; --against FILE prints this run's
// figures against those of such a file, as ratios, with the targets for the window
// against another build of it (bulk intake at least 80 % of the other's, reading no
// dearer), so that two builds can be compared on one machine in one session.
//
// --accessible runs the window as a screen reader sees it: on the X server in DISPLAY
// (run it under xvfb-run), with a private accessibility bus and Qt's AT-SPI bridge active,
// so that the receive box gathers its changes and builds its announcements; a no-op
// update handler takes them instead of the bus, which leaves the box's own cost.

#include "address/remoteaddress.h"
#include "app/mainwindow.h"
#include "log/filebuttons.h"
#include "log/receivelog.h"
#include "platform/link/serialcontrol.h"
#include "platform/link/socketcontrol.h"
#include "platform/text/textstore.h"
#include "platform/text/textview.h"
#include "platform/widgets/richtextbox.h"
#include "support/appharness.h"
#include "support/atspibus.h"
#include "support/loopbackserver.h"

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr double kLineRate = 1920;  // bytes per second at 19,200 baud, 8N1
constexpr double kFastRate = 11520; // at 115,200 baud
constexpr int kSliceMs = 10;

double wallNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

double processCpu() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return seconds(ru.ru_utime) + seconds(ru.ru_stime);
}

double threadCpu() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// A field of /proc/self/status, in kB.
long statusKb(const char* key) {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray k = QByteArray(key) + ':';
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(k))
            return line.mid(k.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Gives back freed memory and starts the peak (VmHWM) afresh from what is in use now.
void restartPeak() {
    ::malloc_trim(0);
    const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (::write(fd, "5", 1) < 0) {
        }
        ::close(fd);
    }
}

qint64 fileSize(const QString& path) {
    struct stat st {};
    return ::stat(path.toLocal8Bit().constData(), &st) == 0 ? qint64(st.st_size) : -1;
}

// What the unit sends, as its log shows it: mostly readings of its six quantities with a
// running sequence number and values that wander, now and then a register dump, and about
// one line in a hundred of noise on the line (bytes of any value). Serial: these lines,
// each ended by CR LF, so the box and the log grow by exactly the bytes sent. TCP/IP: the
// same lines separated by a blank, with no CR or LF at all, so the log is the chunks,
// each followed by the CR LF of its print line. No line holds CR, LF or ':' (so that no
// address answer "IP: " ever appears).
//
// A copy goes on where the original stood: the stream made is the same however it is cut
// into pieces (serial pieces are whole lines), so a copy taken before a phase makes again
// what the phase sent.
class Payload {
public:
    explicit Payload(std::uint64_t seed) : rng_(seed) {}
    QByteArray serial(qint64 n) {
        QByteArray out;
        out.reserve(n + 128);
        while (out.size() < n) {
            line(out);
            out += "\r\n";
        }
        return out;
    }
    QByteArray tcp(qint64 n) {
        while (tcpAhead_.size() < n) {
            line(tcpAhead_);
            tcpAhead_ += ' ';
        }
        const QByteArray out = tcpAhead_.first(n);
        tcpAhead_.remove(0, n);
        return out;
    }

private:
    // Appends one line (made without allocating: bulk phases make tens of megabytes a
    // second of it).
    void line(QByteArray& out) {
        struct Quantity {
            const char* word;
            const char* label;
            const char* unit;
            int base;
            int decimals;
        };
        static const Quantity quantities[] = {
            {"rdp", "dew point", "C", -124, 1}, {"rsp", "set point", "C", -100, 1},
            {"rco", "CO2", "ppm", 415, 0},      {"rci", "current", "mA", 1240, 2},
            {"rlt", "line temperature", "C", 237, 1}, {"rct", "cycle time", "s", 600, 1}};
        char buf[128];
        char* p = buf;
        auto put = [&](const char* text) {
            while (*text)
                *p++ = *text++;
        };
        auto number = [&](qint64 v, int digits) {
            char d[24];
            int n = 0;
            do {
                d[n++] = char('0' + v % 10);
                v /= 10;
            } while (v > 0 || n < digits);
            while (n > 0)
                *p++ = d[--n];
        };
        const auto r = rng_();
        ++line_;
        if (r % 97 == 0) {
            for (int i = 8 + int((r >> 8) % 40); i > 0; --i) {
                const char c = char(rng_() & 0xFF);
                *p++ = c == '\r' || c == '\n' || c == ':' ? '#' : c;
            }
        } else if (r % 31 == 0) {
            put("?r R00=0x3C R01=0x");
            *p++ = "0123456789ABCDEF"[(r >> 8) & 15];
            *p++ = "0123456789ABCDEF"[(r >> 12) & 15];
            put(" R02=0x7F status 0x00 uptime ");
            number(line_ / 6, 1);
            put(" s");
        } else {
            const auto k = std::size_t(line_ % 6);
            const Quantity& q = quantities[k];
            drift_[k] = std::clamp(drift_[k] + int((r >> 16) % 7) - 3, -50, 50);
            const int v = q.base + drift_[k];
            const int scale = q.decimals == 2 ? 100 : q.decimals == 1 ? 10 : 1;
            put(q.word);
            put(" #");
            number(line_, 6);
            *p++ = ' ';
            put(q.label);
            *p++ = ' ';
            if (v < 0)
                *p++ = '-';
            number(std::abs(v) / scale, 1);
            if (q.decimals > 0) {
                *p++ = '.';
                number(std::abs(v) % scale, q.decimals);
            }
            *p++ = ' ';
            put(q.unit);
        }
        out.append(buf, p - buf);
    }
    std::mt19937_64 rng_;
    qint64 line_ = 0;
    int drift_[6] = {};
    QByteArray tcpAhead_;
};

// Bulk text is made and sent in pieces of about this size.
constexpr qint64 kPiece = 1 << 16;

// Writes all of `n` bytes to a non-blocking descriptor, waiting while it is full.
bool writeAll(int fd, const char* p, qint64 n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, size_t(std::min<qint64>(n, 1 << 16)));
        if (w > 0) {
            p += w;
            n -= w;
        } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd pfd{fd, POLLOUT, 0};
            ::poll(&pfd, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

// The sender thread: plays `data` into each descriptor in slices at `rate` bytes per
// second, or pours pieces made by `next` (until it gives an empty one) as fast as they go.
class Sender {
public:
    using Source = std::function<QByteArray()>;
    ~Sender() { join(); }
    void start(std::vector<int> fds, QByteArray data, double rate) {
        data_ = std::move(data);
        stop_ = false;
        sent_ = 0;
        thread_ = std::thread([this, fds = std::move(fds), rate] { run(fds, rate); });
    }
    // A stop ends the stream after a whole piece, so that no break is left half sent when
    // the pieces end at a line end.
    void pour(std::vector<int> fds, Source next) {
        stop_ = false;
        sent_ = 0;
        thread_ = std::thread([this, fds = std::move(fds), next = std::move(next)] {
            done_ = false;
            const double cpu0 = threadCpu();
            for (QByteArray piece = next(); !piece.isEmpty() && !stop_; piece = next()) {
                for (int fd : fds)
                    failed_ = failed_ || !writeAll(fd, piece.constData(), piece.size());
                sent_ += piece.size();
            }
            finishedAt_ = wallNow();
            cpu_ = threadCpu() - cpu0;
            done_ = true;
        });
    }
    void stop() { stop_ = true; }
    void join() {
        if (thread_.joinable())
            thread_.join();
    }
    qint64 sent() const { return sent_; }
    bool done() const { return done_; }
    double cpu() const { return cpu_; }
    bool failed() const { return failed_; }
    double finishedAt() const { return finishedAt_; }

private:
    void run(const std::vector<int>& fds, double rate) {
        done_ = false;
        const double cpu0 = threadCpu();
        const qint64 total = data_.size();
        timespec next{};
        ::clock_gettime(CLOCK_MONOTONIC, &next);
        const double t0 = wallNow();
        while (sent_ < total && !stop_) {
            next.tv_nsec += kSliceMs * 1000000L;
            if (next.tv_nsec >= 1000000000L) {
                next.tv_nsec -= 1000000000L;
                ++next.tv_sec;
            }
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
            const qint64 upTo =
                std::min<qint64>(total, qint64(std::llround(rate * (wallNow() - t0))));
            if (upTo <= sent_)
                continue;
            for (int fd : fds)
                failed_ = failed_ || !writeAll(fd, data_.constData() + sent_, upTo - sent_);
            sent_ = upTo;
        }
        finishedAt_ = wallNow();
        cpu_ = threadCpu() - cpu0;
        done_ = true;
    }

    QByteArray data_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<qint64> sent_{0};
    std::atomic<bool> done_{false};
    std::atomic<double> finishedAt_{0};
    double cpu_ = 0;
    bool failed_ = false;
};

// `cat` copying from a pseudo-terminal (raw, like the serial port) into a file.
class CatFloor {
public:
    explicit CatFloor(const QString& outPath) {
        int slave = -1;
        if (::openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0)
            return;
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        const int out = ::open(outPath.toLocal8Bit().constData(),
                               O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, slave, 0);
        posix_spawn_file_actions_adddup2(&fa, out, 1);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        char arg0[] = "cat";
        char* argv[] = {arg0, nullptr};
        if (posix_spawnp(&pid_, "cat", &fa, nullptr, argv, environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(slave);
        ::close(out);
    }
    ~CatFloor() { finish(); }
    int fd() const { return master_; }
    bool valid() const { return pid_ > 0 && master_ >= 0; }
    // Lets cat copy all `bytes` into `outPath`, ends it (its input goes away) and returns
    // the processor time it used.
    double finish(const QString& outPath = {}, qint64 bytes = 0) {
        if (pid_ <= 0)
            return 0;
        for (int i = 0; i < 200 && fileSize(outPath) < bytes; ++i)
            ::usleep(10000);
        ::close(master_);
        master_ = -1;
        int status = 0;
        rusage ru{};
        ::wait4(pid_, &status, 0, &ru);
        pid_ = -1;
        cpu_ = seconds(ru.ru_utime) + seconds(ru.ru_stime);
        return cpu_;
    }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    double cpu_ = 0;
};

// The test clock of the window: fast (a second per reading) for the connect, real for
// measuring the wait itself.
class BenchClock : public Clock {
public:
    std::int64_t nowSeconds() const override {
        return real ? SystemClock().nowSeconds() : 1'000'000 + ++reads;
    }
    bool real = false;
    mutable std::int64_t reads = 0;
};

double median(std::vector<double> v) {
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Options {
    std::vector<qint64> sizes{10'000, 1'000'000, 10'000'000, 50'000'000};
    double seconds = 10;
    int events = 200;
    double bulkMB = 10;
    int refEvents = 20;
    double refSeconds = 3;
    bool reference = true;
    QByteArray only; // run one kind of phase: events, line, fast, tcpline, bulk, bulkserial,
                     // bulktcp, bulkmemory (bulk serial for its memory figure) or reading
    QString save;    // where to keep this run's figures
    QString against; // the figures of an earlier run (another build) to compare with
};

// One set of figures, for the window as built or for the whole-file operations.
struct Figures {
    double serialEventUs = NAN, tcpChunkUs = NAN;
    int serialEvents = 0, tcpEvents = 0;
    double cpuLine = NAN, cpuFast = NAN, cpuLineTcp = NAN; // % of a core
    double catLine = NAN, catFast = NAN;
    double lineSeconds = 0;
    double bulkSerial = NAN, bulkTcp = NAN; // MB/s
    double bulkSerialMB = 0, bulkTcpMB = 0;
    double gapSerialMs = NAN, gapTcpMs = NAN;
    double peakMB = NAN;       // at the end of the phases
    double logMB = NAN;        // log size then
    double peakAtSizeMB = NAN; // right after the log reached the size
    double bulkPeakMB = NAN;   // right after the bulk serial phase
    double bulkLogMB = NAN;    // log size then
    double scrollUs = NAN;     // scrolling to a line anywhere and painting it
    double readJumpUs = NAN;   // a screen reader's request for a line anywhere
    double readOnUs = NAN;     // ... and for the next line on from there
    double saveMs = NAN;       // Save To File
    double openMs = NAN;       // Open File of the log into the viewer
    double openPeakMB = NAN;   // peak memory of the Open File above what was in use before
};

// The figures compared with an earlier run, by name, and whether more is better.
struct Compared {
    const char* name;
    double Figures::*field;
    bool higherIsBetter;
};
const Compared kCompared[] = {
    {"serial event (us)", &Figures::serialEventUs, false},
    {"TCP/IP chunk (us)", &Figures::tcpChunkUs, false},
    {"CPU at 1,920 B/s serial (%)", &Figures::cpuLine, false},
    {"bulk serial (MB/s)", &Figures::bulkSerial, true},
    {"bulk TCP/IP (MB/s)", &Figures::bulkTcp, true},
    {"peak memory after bulk serial (MB)", &Figures::bulkPeakMB, false},
    {"log after bulk serial (MB)", &Figures::bulkLogMB, false},
    {"scroll to a line and paint (us)", &Figures::scrollUs, false},
    {"reader: a line anywhere (us)", &Figures::readJumpUs, false},
    {"reader: the next line (us)", &Figures::readOnUs, false},
    {"Save To File (ms)", &Figures::saveMs, false},
    {"Open File of the log (ms)", &Figures::openMs, false},
    {"Open File: peak memory added (MB)", &Figures::openPeakMB, false},
};

// The memory the window may take at the peak for a log of `logMB`: the window itself
// and, packed, the log. From a gigabyte on, a flat ceiling.
double memoryTarget(double logMB) {
    return logMB >= 1000 ? 400 : 40 + 0.3 * logMB;
}

class Bench {
public:
    Bench(AppHarness& h, LoopbackServer& server, int tcpFd, Options opt)
        : h_(h), box_(*h->rtfReceive), server_(server), tcpFd_(tcpFd), opt_(opt) {
        QObject::connect(h->MSComm1, &SerialControl::OnComm, [this] { ++onComm_; });
        QObject::connect(h->Winsock1, &SocketControl::DataArrival, [this](std::int32_t n) {
            if (n > 0)
                ++arrivals_;
        });
    }

    QString logPath() const { return h_.logPath(); }
    qint64 logSize() const { return fileSize(logPath()); }
    qint64 boxSize() const { return box_.textLength(); }

    bool failed() const { return failed_; }
    void fail(const char* what) {
        std::printf("  !! %s (box %lld, log %lld)\n", what, (long long)boxSize(),
                    (long long)logSize());
        std::fflush(stdout);
        failed_ = true;
    }

    // Runs the event loop until `done` or `ms` pass.
    bool spinUntil(const std::function<bool()>& done, int ms) {
        QElapsedTimer t;
        t.start();
        while (!done()) {
            if (t.elapsed() > ms)
                return false;
            QEventLoop loop;
            QTimer::singleShot(5, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return true;
    }

    // The log and the box hold exactly what the rules make of what was sent.
    bool expectSerial(qint64 box0, qint64 sent, int ms) {
        const qint64 want = box0 + sent;
        if (!spinUntil([&] { return boxSize() >= want && logSize() >= want; }, ms) ||
            boxSize() != want || logSize() != want) {
            fail("serial: box or log does not hold what was sent");
            return false;
        }
        return true;
    }
    bool expectTcp(qint64 log0, qint64 sent, qint64 arrivals0, int ms) {
        auto want = [&] { return log0 + sent + 2 * (arrivals_ - arrivals0); };
        if (!spinUntil([&] { return logSize() >= want() && boxSize() == logSize(); }, ms) ||
            logSize() != want() || boxSize() != logSize()) {
            fail("TCP/IP: log or box does not hold the chunks and their line ends");
            return false;
        }
        return true;
    }

    // Pieces of `n` bytes or a little more (serial: whole lines) made from `payload`, for
    // the sender thread; `payload` goes on where the last piece ended.
    static Sender::Source pieces(std::shared_ptr<Payload> payload, bool serial, qint64 n) {
        return [payload, serial, n, made = qint64(0)]() mutable {
            if (made >= n)
                return QByteArray();
            const qint64 want = std::min(kPiece, n - made);
            QByteArray piece = serial ? payload->serial(want) : payload->tcp(want);
            made += piece.size();
            return piece;
        };
    }

    // Whether the log from `from` on holds what `payload` makes, `sent` bytes of it; for
    // TCP/IP without the line ends of the print lines (the chunks hold no CR or LF).
    bool logHolds(qint64 from, Payload payload, bool serial, qint64 sent) {
        QFile f(logPath());
        if (!f.open(QIODevice::ReadOnly) || !f.seek(from))
            return false;
        QByteArray expected, got;
        while (sent > 0 || !expected.isEmpty()) {
            if (expected.isEmpty() && sent > 0) {
                expected = serial ? payload.serial(std::min(kPiece, sent))
                                  : payload.tcp(std::min(kPiece, sent));
                expected.truncate(qsizetype(std::min<qint64>(expected.size(), sent)));
                sent -= expected.size();
            }
            while (got.size() < expected.size()) {
                QByteArray more = f.read(kPiece);
                if (more.isEmpty())
                    return false;
                if (!serial)
                    more.replace("\r", "").replace("\n", "");
                got += more;
            }
            if (!got.startsWith(expected))
                return false;
            got.remove(0, expected.size());
            expected.clear();
        }
        return serial || got.isEmpty();
    }

    // Serial text fed through the link as fast as it goes, not measured.
    void fill(qint64 upTo) {
        const qint64 need = upTo - logSize();
        if (need <= 0)
            return;
        const qint64 box0 = boxSize();
        auto payload = std::make_shared<Payload>(payload_);
        Sender s;
        s.pour({h_.com5->masterFd()}, pieces(payload, true, need));
        spinUntil([&] { return s.done() && boxSize() >= box0 + s.sent(); }, 600000);
        s.join();
        payload_ = *payload;
        expectSerial(box0, s.sent(), 60000);
    }

    double serialEvents(int n) {
        const QByteArray data = payload_.serial(qint64(n) * 19);
        const qint64 box0 = boxSize();
        std::vector<double> us;
        for (qint64 at = 0; at < data.size(); at += 19) {
            // After a quiet spell, so that the piece gets its event at once rather than
            // with the next of a quick succession of arrivals; the wait is not counted.
            QEventLoop quiet;
            QTimer::singleShot(SerialControl::SlowReceiveGapMs + 2, &quiet, &QEventLoop::quit);
            quiet.exec();
            const QByteArray piece = data.mid(at, 19);
            if (!h_.com5->write(piece) || !h_.com5->waitUntilWaitingAtSlave(piece.size(), 5000))
                fail("serial: the pseudo-terminal does not pass data");
            const int before = onComm_;
            const double t0 = wallNow();
            while (onComm_ == before)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            us.push_back((wallNow() - t0) * 1e6);
        }
        expectSerial(box0, data.size(), 60000);
        last_.serialEvents = int(us.size());
        return median(us);
    }

    double tcpChunks(int n) {
        const qint64 log0 = logSize();
        const int arrivals0 = arrivals_;
        std::vector<double> us;
        qint64 sent = 0;
        for (int i = 0; i < n; ++i) {
            const QByteArray piece = payload_.tcp(19);
            if (!writeAll(tcpFd_, piece.constData(), piece.size()))
                fail("TCP/IP: the loopback connection does not pass data");
            sent += piece.size();
            ::usleep(500); // on its way through loopback; not counted
            const int before = arrivals_;
            const double t0 = wallNow();
            while (arrivals_ == before)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            us.push_back((wallNow() - t0) * 1e6);
        }
        expectTcp(log0, sent, arrivals0, 60000);
        last_.tcpEvents = n;
        return median(us);
    }

    // Processor time per second of text arriving at `rate`, in % of a core; with `cat`
    // on the same stream at the same time when `catPct` is given.
    double paced(bool serial, double rate, double secs, double* catPct) {
        const QByteArray data =
            serial ? payload_.serial(qint64(rate * secs)) : payload_.tcp(qint64(rate * secs));
        const qint64 box0 = boxSize(), log0 = logSize();
        const int arrivals0 = arrivals_;
        std::optional<CatFloor> cat;
        std::vector<int> fds{serial ? h_.com5->masterFd() : tcpFd_};
        if (catPct) {
            cat.emplace(h_.home.path() + QStringLiteral("/cat-floor.txt"));
            if (cat->valid())
                fds.push_back(cat->fd());
        }
        const double span = double(data.size()) / rate;
        Sender s;
        const double cpu0 = processCpu();
        s.start(fds, data, rate);
        QEventLoop loop;
        QTimer::singleShot(int(span * 1000) + 300, &loop, &QEventLoop::quit);
        loop.exec();
        // The whole-file operations may lag far behind; the processor time counts until
        // the sender is through, the rest is catching up.
        s.join();
        const double cpu = processCpu() - cpu0 - s.cpu();
        if (s.failed())
            fail("the sender could not write");
        if (catPct) {
            const QString out = h_.home.path() + QStringLiteral("/cat-floor.txt");
            const double catCpu = cat && cat->valid() ? cat->finish(out, data.size()) : NAN;
            *catPct = catCpu / span * 100;
            if (fileSize(out) != data.size())
                fail("cat did not copy the whole stream");
        }
        if (serial)
            expectSerial(box0, data.size(), 600000);
        else
            expectTcp(log0, data.size(), arrivals0, 600000);
        return cpu / span * 100;
    }

    // As fast as it goes: MB/s into box and log, and the longest gap of a 10 ms timer on
    // the window meanwhile. Stops sending after `capSeconds`.
    double bulk(bool serial, double mb, double capSeconds, double* gapMs, double* sentMB) {
        const Payload start = payload_;
        auto payload = std::make_shared<Payload>(payload_);
        const qint64 box0 = boxSize(), log0 = logSize();
        const int arrivals0 = arrivals_;
        QTimer tick(&h_.window());
        tick.setInterval(10);
        double lastTick = wallNow(), gap = 0, doneAt = 0;
        Sender s;
        QEventLoop loop;
        auto complete = [&] {
            if (!s.done())
                return false;
            if (serial)
                return boxSize() >= box0 + s.sent() && logSize() >= box0 + s.sent();
            return logSize() >= log0 + s.sent() + 2 * (arrivals_ - arrivals0) &&
                   boxSize() == logSize();
        };
        const double t0 = wallNow();
        QObject::connect(&tick, &QTimer::timeout, [&] {
            const double now = wallNow();
            gap = std::max(gap, now - lastTick);
            lastTick = now;
            if (now - t0 > capSeconds)
                s.stop();
            if (complete()) {
                doneAt = now;
                loop.quit();
            }
        });
        tick.start();
        s.pour({serial ? h_.com5->masterFd() : tcpFd_}, pieces(payload, serial, qint64(mb * 1e6)));
        loop.exec();
        tick.stop();
        s.join();
        payload_ = *payload;
        if (s.failed())
            fail("the sender could not write");
        if (serial) {
            expectSerial(box0, s.sent(), 600000);
            if (!logHolds(box0, start, true, s.sent()))
                fail("serial: the log does not hold the bytes sent");
        } else {
            expectTcp(log0, s.sent(), arrivals0, 600000);
            if (!logHolds(log0, start, false, s.sent()))
                fail("TCP/IP: the log does not hold the bytes sent");
        }
        *gapMs = gap * 1000;
        *sentMB = double(s.sent()) / 1e6;
        return double(s.sent()) / 1e6 / (doneAt - t0);
    }

    // What reading the log costs (medians over --events tries): scrolling the box to a
    // line picked at random and painting it; a screen reader's request for a line's worth
    // of text (80 characters) from a random place, and for the next 80 from there; and
    // once each Save To File and Open File of the log (in the viewer, closed again).
    void reading(Figures& f) {
        TextView& view = *box_.view();
        const TextStore& store = box_.store();
        std::mt19937_64 rng(std::uint64_t(store.length()));
        auto anyOf = [&](std::int64_t n) { return std::int64_t(rng() % std::uint64_t(n)); };
        std::vector<double> scroll, jump, on;
        for (int i = 0; i < opt_.events; ++i) {
            const double t0 = wallNow();
            view.ensureVisible(store.lineStart(anyOf(store.lineCount())));
            view.viewport()->repaint();
            scroll.push_back((wallNow() - t0) * 1e6);
        }
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(&view);
        QAccessibleTextInterface* text = a ? a->textInterface() : nullptr;
        for (int i = 0; text && i < opt_.events; ++i) {
            const int at = int(anyOf(std::max<std::int64_t>(1, store.length() - 160)));
            double t0 = wallNow();
            if (text->text(at, at + 80).size() != std::min<qint64>(80, store.length()))
                fail("the accessible text does not serve a range");
            jump.push_back((wallNow() - t0) * 1e6);
            t0 = wallNow();
            text->text(at + 80, at + 160);
            on.push_back((wallNow() - t0) * 1e6);
        }
        f.scrollUs = median(scroll);
        f.readJumpUs = median(jump);
        f.readOnUs = median(on);

        const QString copy = h_.home.path() + QStringLiteral("/saved-copy.txt");
        h_.dialogs->answers.push_back(copy);
        double t0 = wallNow();
        h_->fileButtons().btnSave_Click(0);
        f.saveMs = (wallNow() - t0) * 1e3;
        if (fileSize(copy) != logSize())
            fail("Save To File did not copy the log");
        QFile::remove(copy);

        restartPeak();
        const double before = double(statusKb("VmRSS")) / 1024;
        h_.dialogs->answers.push_back(logPath());
        t0 = wallNow();
        h_->fileButtons().btnSave_Click(1);
        QCoreApplication::processEvents();
        f.openMs = (wallNow() - t0) * 1e3;
        f.openPeakMB = double(statusKb("VmHWM")) / 1024 - before;
        frmOpenProgram* viewer = h_->fileButtons().viewer();
        if (!viewer || viewer->rtfReceive->textLength() != logSize())
            fail("Open File did not show the log");
        h_->fileButtons().closeViewer();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        restartPeak();
    }

    // `next`: the next log size to be measured (0 for none).
    Figures measure(bool whole, qint64 size, qint64 next) {
        h_->receiveLog().setWholeFileOnly(whole);
        last_ = Figures{};
        Figures& f = last_;
        const bool capped = whole && size >= 1'000'000;
        const int events = whole ? std::min(opt_.events, opt_.refEvents) : opt_.events;
        const double secs = capped ? std::min(opt_.seconds, opt_.refSeconds) : opt_.seconds;
        auto run = [&](const char* phase) { return opt_.only.isEmpty() || opt_.only == phase; };
        if (run("events")) {
            f.serialEventUs = serialEvents(events);
            f.tcpChunkUs = tcpChunks(events);
        }
        f.lineSeconds = secs;
        if (run("line"))
            f.cpuLine = paced(true, kLineRate, secs, &f.catLine);
        if (run("fast"))
            f.cpuFast = paced(true, kFastRate, secs, &f.catFast);
        if (run("tcpline"))
            f.cpuLineTcp = paced(false, kLineRate, secs, nullptr);
        // Bulk from the last size on is --bulk MB a link; below it, a share of the way to
        // the next size, so that the sizes stay what they say.
        const double cap = whole ? opt_.refSeconds : 300;
        const double mb =
            next > 0 ? std::min(opt_.bulkMB, double(next - logSize()) * 0.2 / 1e6) : opt_.bulkMB;
        if (run("bulk") || run("bulkserial") || run("bulkmemory")) {
            f.bulkSerial = bulk(true, mb, cap, &f.gapSerialMs, &f.bulkSerialMB);
            f.bulkPeakMB = double(statusKb("VmHWM")) / 1024;
            f.bulkLogMB = double(logSize()) / 1e6;
        }
        if (run("bulk") || run("bulktcp"))
            f.bulkTcp = bulk(false, mb, cap, &f.gapTcpMs, &f.bulkTcpMB);
        f.peakMB = double(statusKb("VmHWM")) / 1024;
        f.logMB = double(logSize()) / 1e6;
        if (!whole && run("reading"))
            reading(f);
        h_->receiveLog().setWholeFileOnly(false);
        return f;
    }

    // The processor share of the two-second connect wait, with the real clock.
    double connectWait(BenchClock& clock) {
        clock.real = true;
        const double cpu0 = processCpu(), t0 = wallNow();
        h_->Sleep(2);
        const double share = (processCpu() - cpu0) / (wallNow() - t0) * 100;
        clock.real = false;
        return share;
    }

private:
    AppHarness& h_;
    RichTextBox& box_;
    LoopbackServer& server_;
    int tcpFd_;
    Options opt_;
    Payload payload_{0xBE7C'0001};
    int onComm_ = 0;
    int arrivals_ = 0;
    bool failed_ = false;
    Figures last_;
};

QString sizeText(qint64 n) {
    if (n >= 1'000'000)
        return QStringLiteral("%1 MB").arg(double(n) / 1e6, 0, 'f', n % 1'000'000 ? 1 : 0);
    return QStringLiteral("%1 KB").arg(double(n) / 1e3, 0, 'f', 0);
}

qint64 parseSize(const QByteArray& s) {
    const QByteArray t = s.trimmed().toLower();
    double v = t.toDouble();
    if (t.endsWith('k'))
        v = t.chopped(1).toDouble() * 1e3;
    else if (t.endsWith('m'))
        v = t.chopped(1).toDouble() * 1e6;
    return qint64(v);
}

QString num(double v, int prec = 1) {
    if (std::isnan(v))
        return QStringLiteral("-");
    if (v >= 100)
        prec = 0;
    return QString::number(v, 'f', prec);
}

QString ratio(double whole, double fast) {
    if (std::isnan(whole) || std::isnan(fast) || fast <= 0)
        return QStringLiteral("-");
    const double r = whole / fast;
    return QStringLiteral("%1x").arg(r >= 10 ? QString::number(r, 'f', 0)
                                             : QString::number(r, 'f', 2));
}

void row(const char* what, double fast, double whole, bool haveWhole, const QString& note = {}) {
    std::printf("  %-44s %12s %12s %10s  %s\n", what, qPrintable(num(fast)),
                haveWhole ? qPrintable(num(whole)) : "",
                haveWhole ? qPrintable(ratio(whole, fast)) : "", qPrintable(note));
}

struct Row {
    qint64 size;
    Figures fast, whole;
};

// Keeps the figures of the window as built, one "size name value" a line.
void saveFigures(const QString& path, const std::vector<Row>& rows) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return;
    }
    for (const Row& r : rows) {
        for (const Compared& c : kCompared)
            f.write(QStringLiteral("%1\t%2\t%3\n")
                        .arg(r.size)
                        .arg(QLatin1String(c.name))
                        .arg(r.fast.*c.field, 0, 'g', 10)
                        .toUtf8());
    }
}

// Prints this run's figures against those an earlier run kept (another build, on the same
// machine in the same session): now / then for each size both measured, with the
// targets for a build that keeps old text packed against one that does not.
void compare(const QString& path, const std::vector<Row>& rows) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return;
    }
    std::map<std::pair<qint64, QByteArray>, double> then;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QByteArrayList parts = line.split('\t');
        if (parts.size() == 3)
            then[{parts[0].toLongLong(), parts[1]}] = parts[2].toDouble();
    }
    std::printf("\nagainst %s (now / then; lower is better unless marked):\n", qPrintable(path));
    std::printf("  %-40s", "");
    for (const Row& r : rows)
        std::printf(" %10s", qPrintable(sizeText(r.size)));
    std::printf("\n");
    for (const Compared& c : kCompared) {
        std::printf("  %-40s", qPrintable(QLatin1String(c.name) +
                                          (c.higherIsBetter ? QStringLiteral(" (higher)") : "")));
        for (const Row& r : rows) {
            const auto it = then.find({r.size, QByteArray(c.name)});
            const double old = it == then.end() ? NAN : it->second;
            std::printf(" %10s", qPrintable(ratio(r.fast.*c.field, old)));
        }
        std::printf("\n");
    }
    auto check = [](const QString& what, bool ok, const QString& detail) {
        std::printf("  [%s] %-58s %s\n", ok ? " ok " : "MISS", qPrintable(what), qPrintable(detail));
    };
    for (const Row& r : rows) {
        auto old = [&](const char* name) {
            const auto it = then.find({r.size, QByteArray(name)});
            return it == then.end() ? NAN : it->second;
        };
        const QString at = QStringLiteral(" (%1)").arg(sizeText(r.size));
        for (const Compared& c : kCompared) {
            const double was = old(c.name), is = r.fast.*c.field;
            if (std::isnan(was) || std::isnan(is))
                continue;
            if (c.field == &Figures::bulkSerial || c.field == &Figures::bulkTcp)
                check(QLatin1String(c.name) + at + QStringLiteral(" >= 80 % of then"),
                      is >= 0.8 * was, ratio(is, was));
            else if (c.field == &Figures::scrollUs || c.field == &Figures::readJumpUs ||
                     c.field == &Figures::readOnUs || c.field == &Figures::saveMs ||
                     c.field == &Figures::openMs)
                check(QLatin1String(c.name) + at + QStringLiteral(" <= then (+10 % noise)"),
                      is <= 1.1 * was, ratio(is, was));
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QUORLANE_LOOPBACK_ONLY", "1");
    std::signal(SIGPIPE, SIG_IGN);
    // The accessibility bus comes before the application, whose bridge looks for it then.
    std::unique_ptr<AtSpiBus> atspi;
    if (std::find_if(argv + 1, argv + argc, [](const char* a) {
            return std::strcmp(a, "--accessible") == 0;
        }) != argv + argc) {
        qputenv("QT_QPA_PLATFORM", "xcb");
        atspi = std::make_unique<AtSpiBus>();
        if (!atspi->isValid()) {
            std::fprintf(stderr, "no accessibility bus: %s\n", qPrintable(atspi->error()));
            return 1;
        }
    }
    QApplication app(argc, argv);
    if (atspi) {
        QElapsedTimer waited;
        waited.start();
        while (!QAccessible::isActive() && waited.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (!QAccessible::isActive()) {
            std::fprintf(stderr, "the accessibility bridge did not start\n");
            return 1;
        }
        QAccessible::installUpdateHandler([](QAccessibleEvent*) {});
    }

    Options opt;
    std::vector<qint64> bigSizes;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a = argv[i];
        const QByteArray v = i + 1 < argc ? QByteArray(argv[i + 1]) : QByteArray();
        if (a == "--sizes") {
            opt.sizes.clear();
            for (const QByteArray& s : v.split(','))
                opt.sizes.push_back(parseSize(s));
            ++i;
        } else if (a == "--seconds") {
            opt.seconds = v.toDouble(), ++i;
        } else if (a == "--events") {
            opt.events = v.toInt(), ++i;
        } else if (a == "--bulk") {
            opt.bulkMB = v.toDouble(), ++i;
        } else if (a == "--ref-events") {
            opt.refEvents = v.toInt(), ++i;
        } else if (a == "--ref-seconds") {
            opt.refSeconds = v.toDouble(), ++i;
        } else if (a == "--only") {
            opt.only = v, ++i;
        } else if (a == "--with-256m" || a == "--with-1g") {
            bigSizes.push_back(a == "--with-1g" ? 1'000'000'000 : 256'000'000);
        } else if (a == "--save") {
            opt.save = QString::fromLocal8Bit(v), ++i;
        } else if (a == "--against") {
            opt.against = QString::fromLocal8Bit(v), ++i;
        } else if (a == "--no-reference") {
            opt.reference = false;
        } else if (a == "--accessible") {
            // handled above
        } else if (a == "--quick") {
            opt.seconds = 3, opt.events = 60, opt.refEvents = 8, opt.refSeconds = 2;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--sizes 10k,1m,10m,50m] [--seconds S] [--events N] "
                         "[--bulk MB] [--ref-events N] [--ref-seconds S] [--no-reference] "
                         "[--quick] [--accessible] [--only events|line|fast|tcpline|bulk|"
                         "bulkserial|bulktcp|bulkmemory|reading] [--with-256m] [--with-1g] "
                         "[--save FILE] [--against FILE]\n",
                         argv[0]);
            return 2;
        }
    }
    opt.sizes.insert(opt.sizes.end(), bigSizes.begin(), bigSizes.end());
    std::sort(opt.sizes.begin(), opt.sizes.end());

    LoopbackServer server;
    auto clock = std::make_shared<BenchClock>();
    AppHarness::Options ho;
    ho.recordingSocket = false;
    ho.remotePort = server.port();
    ho.clock = clock;
    AppHarness h(ho);
    h->show();
    h->address().ParseIpAnswer(QStringLiteral("IP: 127.0.0.1."));
    h->btnConnect_Click(0);
    if (!server.waitForConnection(5000) || !server.waitForBytes(3, 5000) ||
        h->tcpConnected != True) {
        std::fprintf(stderr, "could not connect to the loopback server\n");
        return 1;
    }
    QTcpSocket* peer = nullptr;
    for (QTcpSocket* s : server.findChildren<QTcpSocket*>())
        peer = s;
    const int tcpFd = peer ? int(peer->socketDescriptor()) : -1;
    if (tcpFd < 0) {
        std::fprintf(stderr, "no server side socket\n");
        return 1;
    }

    Bench bench(h, server, tcpFd, opt);
    std::printf("bench_receive: %d cores, line rate %.0f B/s in %d ms slices, %.0f B/s at "
                "115,200 baud\n",
                int(std::thread::hardware_concurrency()), kLineRate, kSliceMs, kFastRate);
    std::printf("per-event figures are medians; CPU is %% of one core per second of received "
                "text; the whole-file reference is capped at %d pieces and %.0f s of paced or "
                "bulk data from 1 MB on%s\n\n",
                opt.refEvents, opt.refSeconds, opt.reference ? "" : " (not run)");
    const double wait = bench.connectWait(*clock);
    std::printf("connect wait (Sleep 2, real clock): %.2f %% of a core\n\n", wait);

    std::vector<Row> rows;
    for (std::size_t i = 0; i < opt.sizes.size(); ++i) {
        const qint64 size = opt.sizes[i];
        const qint64 next = i + 1 < opt.sizes.size() ? opt.sizes[i + 1] : 0;
        bench.fill(size);
        std::printf("log %s (box %lld bytes, log %lld bytes)\n", qPrintable(sizeText(size)),
                    (long long)bench.boxSize(), (long long)bench.logSize());
        std::printf("  %-44s %12s %12s %10s\n", "", "in step", "whole-file", "ratio");
        std::fflush(stdout);
        const double peakAtSize = double(statusKb("VmHWM")) / 1024;
        Row r{size, bench.measure(false, size, next), {}};
        r.fast.peakAtSizeMB = peakAtSize;
        const bool ref = opt.reference;
        if (ref) {
            restartPeak();
            r.whole = bench.measure(true, size, next);
            restartPeak();
        }
        const Figures& f = r.fast;
        const Figures& w = r.whole;
        row("serial event (us)", f.serialEventUs, w.serialEventUs, ref,
            ref ? QStringLiteral("whole-file: %1 events").arg(w.serialEvents) : QString());
        row("TCP/IP chunk (us)", f.tcpChunkUs, w.tcpChunkUs, ref,
            ref ? QStringLiteral("whole-file: %1 chunks").arg(w.tcpEvents) : QString());
        row("CPU at 1,920 B/s serial (%)", f.cpuLine, w.cpuLine, ref,
            QStringLiteral("cat %1 %, in step / cat %2")
                .arg(num(f.catLine, 2), ratio(f.cpuLine, f.catLine)));
        row("CPU at 11,520 B/s serial (%)", f.cpuFast, w.cpuFast, ref,
            QStringLiteral("cat %1 %, in step / cat %2")
                .arg(num(f.catFast, 2), ratio(f.cpuFast, f.catFast)));
        row("CPU at 1,920 B/s TCP/IP (%)", f.cpuLineTcp, w.cpuLineTcp, ref,
            ref && w.lineSeconds < f.lineSeconds
                ? QStringLiteral("whole-file: %1 s each").arg(w.lineSeconds)
                : QString());
        // What was sent and the longest timer gap, in step and (when run) whole-file.
        const auto bulkNote = [&](double mb, double gapMs, double refMb, double refGapMs) {
            return QStringLiteral("%1 MB; timer gap %2 ms%3")
                .arg(num(mb), num(gapMs, 0),
                     ref ? QStringLiteral(" (whole-file: %1 MB, %2 ms)")
                               .arg(num(refMb, 2), num(refGapMs, 0))
                         : QString());
        };
        row("bulk serial (MB/s)", f.bulkSerial, w.bulkSerial, ref,
            bulkNote(f.bulkSerialMB, f.gapSerialMs, w.bulkSerialMB, w.gapSerialMs));
        row("bulk TCP/IP (MB/s)", f.bulkTcp, w.bulkTcp, ref,
            bulkNote(f.bulkTcpMB, f.gapTcpMs, w.bulkTcpMB, w.gapTcpMs));
        row("peak memory when the log reached the size (MB)", f.peakAtSizeMB, NAN, false);
        row("peak memory after bulk serial (MB)", f.bulkPeakMB, NAN, false,
            std::isnan(f.bulkPeakMB)
                ? QString()
                : QStringLiteral("log %1 MB: %2x the log; target %3 MB")
                      .arg(num(f.bulkLogMB), num(f.bulkPeakMB / f.bulkLogMB, 2),
                           num(memoryTarget(f.bulkLogMB))));
        row("peak memory VmHWM (MB)", f.peakMB, w.peakMB, ref,
            QStringLiteral("log %1 MB after the in-step phases: %2x the log")
                .arg(num(f.logMB), num(f.peakMB / f.logMB, 1)));
        row("scroll to a line and paint (us)", f.scrollUs, NAN, false);
        row("reader: a line anywhere / the next (us)", f.readJumpUs, NAN, false,
            num(f.readOnUs, 1) + QStringLiteral(" us for the next line"));
        row("Save To File (ms)", f.saveMs, NAN, false);
        row("Open File of the log (ms)", f.openMs, NAN, false,
            QStringLiteral("peak memory %1 MB more").arg(num(f.openPeakMB)));
        std::printf("\n");
        std::fflush(stdout);
        rows.push_back(r);
        if (bench.failed())
            break;
    }

    // The targets, against the smallest and the largest log measured.
    if (!rows.empty()) {
        const Row& lo = rows.front();
        const Row& hi = rows.back();
        std::printf("summary (%s log against %s log):\n", qPrintable(sizeText(hi.size)),
                    qPrintable(sizeText(lo.size)));
        auto check = [](const char* what, bool ok, const QString& detail) {
            std::printf("  [%s] %-58s %s\n", ok ? " ok " : "MISS", what, qPrintable(detail));
        };
        check("CPU at the serial line rate <= 2 % of a core", hi.fast.cpuLine <= 2,
              num(hi.fast.cpuLine, 2) + QStringLiteral(" %"));
        check("... and within 4x the cat floor", hi.fast.cpuLine <= 4 * hi.fast.catLine,
              ratio(hi.fast.cpuLine, hi.fast.catLine));
        check("serial event within 1.3x the smallest log's",
              hi.fast.serialEventUs <= 1.3 * lo.fast.serialEventUs,
              ratio(hi.fast.serialEventUs, lo.fast.serialEventUs));
        check("TCP/IP chunk within 1.3x the smallest log's",
              hi.fast.tcpChunkUs <= 1.3 * lo.fast.tcpChunkUs,
              ratio(hi.fast.tcpChunkUs, lo.fast.tcpChunkUs));
        double minSerial = INFINITY, minTcp = INFINITY, maxGap = 0;
        for (const Row& r : rows) {
            if (r.size >= 1'000'000) {
                minSerial = std::min(minSerial, r.fast.bulkSerial);
                minTcp = std::min(minTcp, r.fast.bulkTcp);
            }
            maxGap = std::max({maxGap, r.fast.gapSerialMs, r.fast.gapTcpMs});
        }
        check("bulk >= 20 MB/s serial (logs from 1 MB)", minSerial >= 20, num(minSerial));
        check("bulk >= 20 MB/s TCP/IP (logs from 1 MB)", minTcp >= 20, num(minTcp));
        check("window timer gap in bulk <= 100 ms", maxGap <= 100,
              num(maxGap, 0) + QStringLiteral(" ms"));
        for (const Row& r : rows) {
            if (r.size == 10'000'000)
                check("peak memory <= 100 MB after 10 MB", r.fast.peakAtSizeMB <= 100,
                      num(r.fast.peakAtSizeMB) + QStringLiteral(" MB"));
        }
        check("peak memory < 6x the log at the largest size", hi.fast.peakMB < 6 * hi.fast.logMB,
              num(hi.fast.peakMB / hi.fast.logMB, 1) + QStringLiteral("x"));
        for (const Row& r : rows) {
            if (!std::isnan(r.fast.bulkPeakMB) && r.fast.bulkLogMB >= 30)
                check(qPrintable(QStringLiteral("peak memory after bulk serial, log %1")
                                     .arg(sizeText(r.size))),
                      r.fast.bulkPeakMB <= memoryTarget(r.fast.bulkLogMB),
                      QStringLiteral("%1 MB, log %2 MB: target %3")
                          .arg(num(r.fast.bulkPeakMB), num(r.fast.bulkLogMB),
                               r.fast.bulkLogMB >= 1000
                                   ? QStringLiteral("< 400 MB")
                                   : QStringLiteral("40 MB + 0.3x the log")));
        }
        check("connect wait < 5 % of a core", wait < 5, num(wait, 2) + QStringLiteral(" %"));
        check("nothing lost", !bench.failed(), QString());
    }
    if (!opt.save.isEmpty())
        saveFigures(opt.save, rows);
    if (!opt.against.isEmpty())
        compare(opt.against, rows);
    return bench.failed() ? 1 : 0;
}
