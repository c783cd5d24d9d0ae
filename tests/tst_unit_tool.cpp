// Tests of quorlane-unit, the stand-in for the controller unit. Everything here is
// real: the unit runs as its own process, its serial side is reached through the
// pseudo-terminal behind <home>/dosdevices/com5, its TCP side through a loopback
// connection.

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

// Upper bound of every wait for something that should happen promptly.
constexpr int kWaitMs = 4000;

// That nothing (more) arrives is checked with a marker: a command whose answer is fixed,
// sent last. The unit answers in order, so whatever it was going to send for earlier
// commands arrives before that answer.
const QByteArray kMarkerCommand = "?w";
const QByteArray kMarkerAnswer = "?w: watchdog armed, timeout 2000 ms, resets 0, status 0x00\r\n";

// `got` without the marker's answer, or "<no marker> " and `got` when it is not there.
QByteArray withoutMarker(QByteArray got) {
    const qsizetype at = got.indexOf(kMarkerAnswer);
    return at < 0 ? "<no marker> " + got : got.remove(at, kMarkerAnswer.size());
}

QByteArray expectedRipAnswer(const QByteArray& address = "127.0.0.1") {
    return "QL-UNIT stand-in, firmware 2.41\r\nIP: " + address + ".\r\n";
}

QList<QByteArray> splitLines(const QByteArray& bytes) {
    QList<QByteArray> lines = bytes.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

// The sequence number of a reading line ("rdp #000017 dew point -12.4 C"), or -1.
qint64 sequenceOf(const QByteArray& line, const QByteArray& word) {
    static const QRegularExpression form(
        QStringLiteral("^(rdp|rsp|rco|rci|rlt|rct) #([0-9]{6,}) [A-Za-z0-9 ]+ -?[0-9]+(\\.[0-9]+)? "
                       "(C|ppm|mA|s)$"));
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(line));
    if (!match.hasMatch() || match.captured(1).toLatin1() != word)
        return -1;
    return match.captured(2).toLongLong();
}

// CPU time (user + system) a process has used so far, in seconds; -1 if unknown.
double cpuSeconds(qint64 pid) {
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return -1;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = double(::sysconf(_SC_CLK_TCK));
    return (fields[11].toLongLong() + fields[12].toLongLong()) / ticks;
}

bool isSymlink(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool exists(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// The unit as a child process.
class Unit {
public:
    ~Unit() { kill(); }

    // Starts the unit and waits for its ready line. Extra arguments come after the
    // defaults, so they may override them.
    bool start(const QString& home, const QStringList& extra = {}) {
        m_process.setProgram(QStringLiteral(QUORLANE_UNIT_EXE));
        m_process.setArguments(QStringList{"--home", home, "--tcp-port", "0", "--com", "5"} +
                               extra);
        m_process.start();
        if (!m_process.waitForStarted(kWaitMs))
            return false;
        if (!waitForOutput("\n", kWaitMs))
            return false;
        const QByteArray first = splitLines(m_out).value(0);
        static const QRegularExpression ready(QStringLiteral(
            "^ready(?: serial=(\\S+) link=(\\S+))?(?: tcp=127\\.0\\.0\\.1:([0-9]+))?$"));
        const QRegularExpressionMatch match = ready.match(QString::fromLocal8Bit(first));
        if (!match.hasMatch())
            return false;
        m_readyLine = first;
        m_device = match.captured(1);
        m_link = match.captured(2);
        m_port = static_cast<quint16>(match.captured(3).toUInt());
        return true;
    }

    // Runs the unit until it exits by itself; returns its exit code, or -1.
    int runToExit(const QString& home, const QStringList& extra) {
        m_process.setProgram(QStringLiteral(QUORLANE_UNIT_EXE));
        m_process.setArguments(QStringList{"--home", home} + extra);
        m_process.start();
        if (!m_process.waitForFinished(kWaitMs) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        collect();
        return m_process.exitCode();
    }

    // Waits until standard output holds needle (at least `times` times).
    bool waitForOutput(const QByteArray& needle, int ms, int times = 1) {
        QElapsedTimer clock;
        clock.start();
        collect();
        while (m_out.count(needle) < times) {
            const qint64 left = ms - clock.elapsed();
            if (left <= 0 || m_process.state() != QProcess::Running)
                return false;
            m_process.waitForReadyRead(int(qMin<qint64>(left, 100)));
            collect();
        }
        return true;
    }

    QByteArray output() {
        collect();
        return m_out;
    }
    QByteArray errors() {
        collect();
        return m_err;
    }
    // The commands the unit reported receiving on one link ("serial" or "tcp").
    QList<QByteArray> commands(const QByteArray& link) {
        QList<QByteArray> result;
        const QByteArray prefix = link + "< ";
        for (const QByteArray& line : splitLines(output())) {
            if (line.startsWith(prefix))
                result.append(line.mid(prefix.size()));
        }
        return result;
    }

    bool signalAndWait(int signalNumber) {
        if (::kill(pid(), signalNumber) != 0)
            return false;
        const bool done = m_process.waitForFinished(kWaitMs);
        collect();
        return done;
    }

    void kill() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(kWaitMs);
        }
    }

    qint64 pid() const { return m_process.processId(); }
    QProcess& process() { return m_process; }
    quint16 port() const { return m_port; }
    QString device() const { return m_device; }
    QString link() const { return m_link; }
    QByteArray readyLine() const { return m_readyLine; }

private:
    void collect() {
        // Pull in whatever already waits in the pipes, without blocking.
        for (int i = 0; i < 100 && m_process.state() == QProcess::Running; ++i) {
            if (!m_process.waitForReadyRead(0))
                break;
        }
        m_out += m_process.readAllStandardOutput();
        m_err += m_process.readAllStandardError();
    }

    QProcess m_process;
    QByteArray m_out;
    QByteArray m_err;
    QByteArray m_readyLine;
    QString m_device;
    QString m_link;
    quint16 m_port = 0;
};

// The terminal's end of the serial line: the linked device, opened raw like a port.
class SerialEnd {
public:
    ~SerialEnd() { close(); }

    bool open(const QString& path) {
        close();
        m_fd =
            ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            return false;
        termios tio{};
        if (::tcgetattr(m_fd, &tio) != 0)
            return false;
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        ::cfsetispeed(&tio, B19200);
        ::cfsetospeed(&tio, B19200);
        if (::tcsetattr(m_fd, TCSANOW, &tio) != 0)
            return false;
        // Start clean, as a terminal opening its port may: the unit keeps the device open,
        // so an answer nobody read before the last close would still be waiting.
        return ::tcflush(m_fd, TCIFLUSH) == 0;
    }

    void close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    bool write(const QByteArray& bytes) {
        qsizetype done = 0;
        QElapsedTimer clock;
        clock.start();
        while (done < bytes.size() && clock.elapsed() < kWaitMs) {
            const ssize_t n = ::write(m_fd, bytes.constData() + done, bytes.size() - done);
            if (n > 0)
                done += n;
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
        }
        return done == bytes.size();
    }

    // Reads until `lines` CR LF pairs have come in, or until ms have passed. pieces
    // counts the reads that brought something.
    QByteArray readLines(int lines, int ms = kWaitMs, int* pieces = nullptr) {
        return readUntil([lines](const QByteArray& got) { return got.count("\r\n") >= lines; }, ms,
                         pieces);
    }

    // What arrives before (and with) the answer to the marker command, sent now.
    QByteArray beforeMarker() {
        if (!write(kMarkerCommand + "\r\n"))
            return "<marker not sent>";
        return withoutMarker(readUntil(
            [](const QByteArray& got) { return got.contains(kMarkerAnswer); }, kWaitMs, nullptr));
    }

private:
    template <typename Done> QByteArray readUntil(Done done, int ms, int* pieces) {
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        while (!done(got)) {
            const qint64 left = ms - clock.elapsed();
            if (left <= 0)
                break;
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, int(left)) <= 0)
                continue;
            char buffer[1024];
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n > 0) {
                got.append(buffer, n);
                if (pieces)
                    ++*pieces;
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                QTest::qWait(10); // hang-up: do not spin
            }
        }
        return got;
    }

    int m_fd = -1;
};

// The terminal's end of the TCP link.
class TcpEnd {
public:
    bool connectTo(quint16 port) {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        return m_socket.waitForConnected(kWaitMs);
    }

    bool send(const QByteArray& bytes) {
        if (m_socket.write(bytes) != bytes.size())
            return false;
        while (m_socket.bytesToWrite() > 0) {
            if (!m_socket.waitForBytesWritten(kWaitMs))
                return false;
        }
        return true;
    }

    QByteArray readLines(int lines, int ms = kWaitMs, int* pieces = nullptr) {
        QElapsedTimer clock;
        clock.start();
        while (m_buffer.count("\r\n") < lines) {
            const qint64 left = ms - clock.elapsed();
            if (left <= 0 || !take(int(left), pieces))
                break;
        }
        // Hand back exactly the lines asked for; the rest stays for the next call.
        qsizetype end = 0;
        for (int i = 0; i < lines; ++i) {
            const qsizetype at = m_buffer.indexOf("\r\n", end);
            if (at < 0) {
                end = m_buffer.size();
                break;
            }
            end = at + 2;
        }
        const QByteArray result = m_buffer.left(end);
        m_buffer.remove(0, end);
        return result;
    }

    // What arrives before (and with) the answer to the marker command, sent now.
    QByteArray beforeMarker() {
        if (!send(kMarkerCommand))
            return "<marker not sent>";
        while (!m_buffer.contains(kMarkerAnswer) && take(kWaitMs, nullptr)) {
        }
        return withoutMarker(std::exchange(m_buffer, QByteArray()));
    }

    QByteArray readFor(int ms) {
        m_buffer += m_socket.readAll();
        QElapsedTimer clock;
        clock.start();
        for (qint64 left = ms; left > 0; left = ms - clock.elapsed()) {
            if (!take(int(left), nullptr) && m_socket.state() != QAbstractSocket::ConnectedState)
                break;
        }
        const QByteArray result = m_buffer;
        m_buffer.clear();
        return result;
    }

    // True once the unit has closed the connection (within ms).
    bool waitClosedByPeer(int ms) {
        QElapsedTimer clock;
        clock.start();
        while (m_socket.state() == QAbstractSocket::ConnectedState) {
            const qint64 left = ms - clock.elapsed();
            if (left <= 0)
                return false;
            take(int(qMin<qint64>(left, 100)), nullptr);
        }
        return true;
    }

    QTcpSocket& socket() { return m_socket; }

private:
    bool take(int ms, int* pieces) {
        if (m_socket.bytesAvailable() == 0 && !m_socket.waitForReadyRead(ms))
            return false;
        const QByteArray bytes = m_socket.readAll();
        if (!bytes.isEmpty() && pieces)
            ++*pieces;
        m_buffer += bytes;
        return true;
    }

    QTcpSocket m_socket;
    QByteArray m_buffer;
};

} // namespace

class TestUnitTool : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void serialRipAnswersBannerAndAddress();
    void serialLineEndsSplitOverWrites();
    void serialCommandWords();
    void readingsShareOneSequenceAcrossLinks();
    void serialPortCanBeClosedAndReopened();

    void tcpRipAndPollingCycle();
    void tcpSeveralCommandsInOneWrite();
    void tcpWordsSplitOverWritesAndIdleLeftovers();
    void tcpSeveralClients();
    void tcpCloseAfter();

    void chunkedAnswersArriveInPieces();
    void silentAnswersNothing();
    void quietPrintsOnlyStatusLines();

    void signalRemovesLinkAndExitsCleanly_data();
    void signalRemovesLinkAndExitsCleanly();
    void refusesToReplaceWhatIsNotALink_data();
    void refusesToReplaceWhatIsNotALink();
    void replacesAStaleLink();
    void tcpPortThatCannotBeBound();
    void optionsAreChecked();
    void linksCanBeSwitchedOff();

private:
    QString home() const { return m_home->path(); }
    QString comLink() const { return home() + "/dosdevices/com5"; }
    // Starts the unit with the default arguments plus extra; fails the test if it does not
    // become ready.
    bool startUnit(const QStringList& extra = {});

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<Unit> m_unit;
};

void TestUnitTool::init() {
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    m_unit = std::make_unique<Unit>();
}

void TestUnitTool::cleanup() {
    if (QTest::currentTestFailed() && m_unit) {
        qWarning("unit stdout:\n%s", m_unit->output().constData());
        qWarning("unit stderr:\n%s", m_unit->errors().constData());
    }
    m_unit.reset(); // kills the process if it still runs
    m_home.reset();
}

bool TestUnitTool::startUnit(const QStringList& extra) {
    if (m_unit->start(home(), extra))
        return true;
    qWarning("unit did not become ready; stdout: %s stderr: %s", m_unit->output().constData(),
             m_unit->errors().constData());
    return false;
}

void TestUnitTool::serialRipAnswersBannerAndAddress() {
    QVERIFY(startUnit());
    QCOMPARE(m_unit->link(), comLink());
    QVERIFY(isSymlink(comLink()));
    QCOMPARE(QFileInfo(comLink()).symLinkTarget(), m_unit->device());
    QVERIFY(m_unit->port() != 0);

    SerialEnd serial;
    QVERIFY(serial.open(comLink()));
    QVERIFY(serial.write("rip\r\n"));
    QCOMPARE(serial.readLines(2), expectedRipAnswer());
    // Nothing follows the two lines.
    QCOMPARE(serial.beforeMarker(), QByteArray());
    QVERIFY(m_unit->waitForOutput("serial> IP: 127.0.0.1.\n", kWaitMs));
    QVERIFY(m_unit->output().contains("serial< rip\nserial> QL-UNIT stand-in, firmware 2.41\n"));
}

void TestUnitTool::serialLineEndsSplitOverWrites() {
    QVERIFY(startUnit());
    SerialEnd serial;
    QVERIFY(serial.open(comLink()));

    // A line whose bytes come in two writes is one command (the list of commands at the
    // end shows that "ri" was none). The pause keeps the writes apart.
    QVERIFY(serial.write("ri"));
    QTest::qWait(100);
    QVERIFY(serial.write("p\r\n"));
    QCOMPARE(serial.readLines(2), expectedRipAnswer());

    // A CR LF pair split over two writes is one line end, not two. (The answer shows
    // that the unit has read the CR before the LF is written.)
    QVERIFY(serial.write("v\r"));
    QVERIFY(serial.readLines(1).startsWith("v: "));
    QVERIFY(serial.write("\n"));
    // A lone LF and a lone CR each end a line as well.
    QVERIFY(serial.write("q\n"));
    QVERIFY(serial.readLines(1).startsWith("q: status OK"));
    QVERIFY(serial.write("?w\r"));
    QVERIFY(serial.readLines(1).startsWith("?w: "));
    // Two lines in one write: two answers in order.
    QVERIFY(serial.write("?r\r\nvux8052\r\n"));
    const QList<QByteArray> two = splitLines(serial.readLines(2));
    QCOMPARE(two.size(), 2);
    QVERIFY(two[0].startsWith("?r: "));
    QVERIFY(two[1].startsWith("vux8052: "));
    QCOMPARE(serial.beforeMarker(), QByteArray());

    // An empty line would show up as an empty command; there must be none.
    QVERIFY(m_unit->waitForOutput("serial> vux8052", kWaitMs));
    QVERIFY(m_unit->waitForOutput("serial< ?w", kWaitMs, 2));
    const QList<QByteArray> expected = {"rip", "v", "q", "?w", "?r", "vux8052", kMarkerCommand};
    QCOMPARE(m_unit->commands("serial"), expected);
}

void TestUnitTool::serialCommandWords() {
    QVERIFY(startUnit());
    SerialEnd serial;
    QVERIFY(serial.open(comLink()));

    struct Case {
        QByteArray sent;
        const char* answer; // regular expression for the one answer line
    };
    const Case cases[] = {
        {"?r", "^\\?r: R00=0x[0-9A-F]{2}( R0[0-9]=0x[0-9A-F]{2})+$"},
        {"?w", "^\\?w: watchdog armed, timeout [0-9]+ ms, resets [0-9]+, status 0x[0-9A-F]{2}$"},
        {"vux8052", "^vux8052: board QL-8052 rev C, .+$"},
        {"v", "^v: firmware 2\\.41 build [0-9]+$"},
        {"q", "^q: status OK, uptime [0-9]+ s$"},
        {"rdp", "^rdp #[0-9]{6} dew point -?[0-9]+\\.[0-9] C$"},
        {"rsp", "^rsp #[0-9]{6} set point -?[0-9]+\\.[0-9] C$"},
        {"rco", "^rco #[0-9]{6} CO2 [0-9]+ ppm$"},
        {"rci", "^rci #[0-9]{6} current [0-9]+\\.[0-9]{2} mA$"},
        {"rlt", "^rlt #[0-9]{6} line temperature -?[0-9]+\\.[0-9] C$"},
        {"rct", "^rct #[0-9]{6} cycle time [0-9]+\\.[0-9] s$"},
        {"  v  ", "^v: firmware"},
        {"zap", "^ERR unknown command 'zap'$"},
        {"RIP", "^ERR unknown command 'RIP'$"},
        {"a\x01\xff", "^ERR unknown command 'a\\\\x01\\\\xFF'$"},
    };
    for (const Case& c : cases) {
        QVERIFY(serial.write(c.sent + "\r\n"));
        const QList<QByteArray> lines = splitLines(serial.readLines(1));
        QVERIFY2(lines.size() == 1, c.sent.constData());
        const QRegularExpression form(QString::fromLatin1(c.answer));
        QVERIFY2(form.match(QString::fromLatin1(lines[0])).hasMatch(),
                 (c.sent + " -> " + lines[0]).constData());
    }
    // An empty line gets no answer at all.
    QVERIFY(serial.write("\r\n"));
    QCOMPARE(serial.beforeMarker(), QByteArray());

    // Bytes outside printable ASCII are shown escaped in the traffic lines.
    QVERIFY(m_unit->waitForOutput("serial< a\\x01\\xFF\n", kWaitMs));
    QVERIFY(m_unit->output().contains("serial> ERR unknown command 'a\\\\x01\\\\xFF'\n"));
    QVERIFY(m_unit->output().contains("serial> rdp #000001 dew point "));
}

void TestUnitTool::readingsShareOneSequenceAcrossLinks() {
    QVERIFY(startUnit({"--seq-start", "41", "--address", "10.20.30.4"}));
    SerialEnd serial;
    QVERIFY(serial.open(comLink()));
    TcpEnd tcp;
    QVERIFY(tcp.connectTo(m_unit->port()));

    QVERIFY(serial.write("rip\r\n"));
    QCOMPARE(serial.readLines(2), expectedRipAnswer("10.20.30.4"));
    QVERIFY(tcp.send("rip"));
    QCOMPARE(tcp.readLines(2), expectedRipAnswer("10.20.30.4"));

    // rip and the other words do not use up sequence numbers; readings do, on both links.
    QVERIFY(serial.write("rdp\r\n"));
    QCOMPARE(sequenceOf(splitLines(serial.readLines(1)).value(0), "rdp"), 41);
    QVERIFY(tcp.send("rsp"));
    QCOMPARE(sequenceOf(splitLines(tcp.readLines(1)).value(0), "rsp"), 42);
    QVERIFY(serial.write("q\r\nrco\r\n"));
    const QList<QByteArray> lines = splitLines(serial.readLines(2));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(sequenceOf(lines[1], "rco"), 43);
    QVERIFY(tcp.send("rct"));
    QCOMPARE(sequenceOf(splitLines(tcp.readLines(1)).value(0), "rct"), 44);
}

void TestUnitTool::serialPortCanBeClosedAndReopened() {
    QVERIFY(startUnit());
    for (int round = 0; round < 5; ++round) {
        SerialEnd serial;
        QVERIFY(serial.open(comLink()));
        QVERIFY(serial.write("rip\r\n"));
        QCOMPARE(serial.readLines(2), expectedRipAnswer());
        // Closing with a command still on its way must not upset the unit either.
        if (round % 2 == 1)
            QVERIFY(serial.write("rdp\r"));
        QTest::qWait(20); // a pause between closing and opening again
    }
    // Give a unit that fails on the closed port time to start spinning, then measure
    // its CPU use over one second.
    QTest::qWait(200);
    const double before = cpuSeconds(m_unit->pid());
    QVERIFY(before >= 0);
    QTest::qWait(1000);
    const double used = cpuSeconds(m_unit->pid()) - before;
    QVERIFY2(used < 0.3, QByteArray::number(used).constData());
    QVERIFY(m_unit->errors().isEmpty());

    SerialEnd again;
    QVERIFY(again.open(comLink()));
    QVERIFY(again.write("v\r\n"));
    QVERIFY(again.readLines(1).startsWith("v: "));
    QCOMPARE(m_unit->process().state(), QProcess::Running);
}

void TestUnitTool::tcpRipAndPollingCycle() {
    QVERIFY(startUnit());
    TcpEnd tcp;
    QVERIFY(tcp.connectTo(m_unit->port()));
    QVERIFY(tcp.send("rip"));
    QCOMPARE(tcp.readLines(2), expectedRipAnswer());

    qint64 last = 0;
    for (int cycle = 0; cycle < 2; ++cycle) {
        for (const QByteArray word : {"rdp", "rsp", "rco", "rci", "rlt", "rct"}) {
            QVERIFY(tcp.send(word));
            const QByteArray answer = tcp.readLines(1);
            QVERIFY2(answer.endsWith("\r\n") && answer.count("\r\n") == 1, answer.constData());
            const qint64 sequence = sequenceOf(splitLines(answer).value(0), word);
            QVERIFY2(sequence == last + 1, answer.constData());
            last = sequence;
        }
    }
    QCOMPARE(tcp.beforeMarker(), QByteArray());
    QVERIFY(m_unit->waitForOutput("tcp> rct #000012", kWaitMs));
    QVERIFY(m_unit->output().contains("tcp open 127.0.0.1:"));
    QVERIFY(m_unit->output().contains("tcp< rip\ntcp> QL-UNIT stand-in"));
}

void TestUnitTool::tcpSeveralCommandsInOneWrite() {
    QVERIFY(startUnit());
    TcpEnd tcp;
    QVERIFY(tcp.connectTo(m_unit->port()));

    QVERIFY(tcp.send("rdprsp"));
    QList<QByteArray> lines = splitLines(tcp.readLines(2));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(sequenceOf(lines[0], "rdp"), 1);
    QCOMPARE(sequenceOf(lines[1], "rsp"), 2);

    QVERIFY(tcp.send("rcorcirltrctrip"));
    lines = splitLines(tcp.readLines(6));
    QCOMPARE(lines.size(), 6);
    QCOMPARE(sequenceOf(lines[0], "rco"), 3);
    QCOMPARE(sequenceOf(lines[1], "rci"), 4);
    QCOMPARE(sequenceOf(lines[2], "rlt"), 5);
    QCOMPARE(sequenceOf(lines[3], "rct"), 6);
    QCOMPARE(lines[5], QByteArray("IP: 127.0.0.1."));

    // "v" is the start of "vux8052": the longer word wins when it is all there.
    QVERIFY(tcp.send("vux8052?r?wvq"));
    lines = splitLines(tcp.readLines(5));
    QCOMPARE(lines.size(), 5);
    QVERIFY(lines[0].startsWith("vux8052: "));
    QVERIFY(lines[1].startsWith("?r: "));
    QVERIFY(lines[2].startsWith("?w: "));
    QVERIFY(lines[3].startsWith("v: "));
    QVERIFY(lines[4].startsWith("q: "));

    // CR and LF end commands; what they end may be unknown.
    QVERIFY(tcp.send("rip\r\nxyz\nrdp"));
    lines = splitLines(tcp.readLines(4));
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[1], QByteArray("IP: 127.0.0.1."));
    QCOMPARE(lines[2], QByteArray("ERR unknown command 'xyz'"));
    QCOMPARE(sequenceOf(lines[3], "rdp"), 7);
    QCOMPARE(tcp.beforeMarker(), QByteArray());

    QVERIFY(m_unit->waitForOutput("tcp< ?w", kWaitMs, 2));
    const QList<QByteArray> expected = {"rdp", "rsp",     "rco", "rci",         "rlt", "rct",
                                        "rip", "vux8052", "?r",  "?w",          "v",   "q",
                                        "rip", "xyz",     "rdp", kMarkerCommand};
    QCOMPARE(m_unit->commands("tcp"), expected);
}

void TestUnitTool::tcpWordsSplitOverWritesAndIdleLeftovers() {
    QVERIFY(startUnit());
    TcpEnd tcp;
    QVERIFY(tcp.connectTo(m_unit->port()));

    // A word that arrives in two pieces in quick succession (well within the unit's
    // 50 ms of patience) is still one word.
    QVERIFY(tcp.send("vu"));
    QTest::qSleep(10);
    QVERIFY(tcp.send("x8052"));
    QVERIFY(tcp.readLines(1).startsWith("vux8052: "));
    QVERIFY(tcp.send("r"));
    QTest::qSleep(10);
    QVERIFY(tcp.send("dp"));
    QCOMPARE(sequenceOf(splitLines(tcp.readLines(1)).value(0), "rdp"), 1);

    // A lone "v" could be the start of "vux8052" (as "vu" was above); it is answered as
    // "v" once the sender has paused.
    QVERIFY(tcp.send("v"));
    QVERIFY(tcp.readLines(1).startsWith("v: "));

    // Unknown text is answered once the sender has been idle for a while.
    QVERIFY(tcp.send("zap"));
    QCOMPARE(tcp.readLines(1), QByteArray("ERR unknown command 'zap'\r\n"));

    // Known words in front are answered, the unknown rest after the pause.
    QVERIFY(tcp.send("rdpzz"));
    const QList<QByteArray> lines = splitLines(tcp.readLines(2));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(sequenceOf(lines[0], "rdp"), 2);
    QCOMPARE(lines[1], QByteArray("ERR unknown command 'zz'"));

    // A partial word followed by a pause is unknown as it stands.
    QVERIFY(tcp.send("rd"));
    QCOMPARE(tcp.readLines(1), QByteArray("ERR unknown command 'rd'\r\n"));
    QCOMPARE(tcp.beforeMarker(), QByteArray());
}

void TestUnitTool::tcpSeveralClients() {
    QVERIFY(startUnit());
    TcpEnd first;
    TcpEnd second;
    QVERIFY(first.connectTo(m_unit->port()));
    QVERIFY(second.connectTo(m_unit->port()));

    QVERIFY(first.send("rdp"));
    QCOMPARE(sequenceOf(splitLines(first.readLines(1)).value(0), "rdp"), 1);
    QVERIFY(second.send("rsp"));
    QCOMPARE(sequenceOf(splitLines(second.readLines(1)).value(0), "rsp"), 2);
    QVERIFY(first.send("rco"));
    QCOMPARE(sequenceOf(splitLines(first.readLines(1)).value(0), "rco"), 3);
    // Neither got the other's answers.
    QCOMPARE(first.beforeMarker(), QByteArray());
    QCOMPARE(second.beforeMarker(), QByteArray());

    // One client leaving does not disturb the other; clients come and go.
    first.socket().disconnectFromHost();
    for (int i = 0; i < 10; ++i) {
        TcpEnd passing;
        QVERIFY(passing.connectTo(m_unit->port()));
        if (i % 2 == 0)
            QVERIFY(passing.send("rip"));
        if (i % 4 == 0)
            QCOMPARE(passing.readLines(2), expectedRipAnswer());
        passing.socket().abort();
    }
    QVERIFY(second.send("rci"));
    const qint64 sequence = sequenceOf(splitLines(second.readLines(1)).value(0), "rci");
    QCOMPARE(sequence, 4);

    // With every client gone the unit sits idle.
    second.socket().disconnectFromHost();
    QTest::qWait(200);
    const double before = cpuSeconds(m_unit->pid());
    QTest::qWait(1000);
    const double used = cpuSeconds(m_unit->pid()) - before;
    QVERIFY2(used < 0.3, QByteArray::number(used).constData());
    // Every connection was seen opening and closing, once.
    QVERIFY(m_unit->waitForOutput("tcp closed 127.0.0.1:", kWaitMs, 12));
    QCOMPARE(m_unit->output().count("tcp open 127.0.0.1:"), 12);
    QCOMPARE(m_unit->output().count("tcp closed 127.0.0.1:"), 12);
}

void TestUnitTool::tcpCloseAfter() {
    QVERIFY(startUnit({"--close-after", "2"}));
    {
        TcpEnd tcp;
        QVERIFY(tcp.connectTo(m_unit->port()));
        QVERIFY(tcp.send("rdp"));
        QCOMPARE(sequenceOf(splitLines(tcp.readLines(1)).value(0), "rdp"), 1);
        // Still open after one answer: the next command is answered.
        QCOMPARE(tcp.socket().state(), QAbstractSocket::ConnectedState);
        QVERIFY(tcp.send("rsp"));
        QCOMPARE(sequenceOf(splitLines(tcp.readLines(1)).value(0), "rsp"), 2);
        QVERIFY(tcp.waitClosedByPeer(kWaitMs));
        // Closed: all the unit sent has arrived.
        QCOMPARE(tcp.readFor(50), QByteArray());
    }
    {
        // Three commands at once: two answers, then the connection closes.
        TcpEnd tcp;
        QVERIFY(tcp.connectTo(m_unit->port()));
        QVERIFY(tcp.send("rciriprco"));
        const QList<QByteArray> lines = splitLines(tcp.readLines(3));
        QCOMPARE(lines.size(), 3);
        QCOMPARE(sequenceOf(lines[0], "rci"), 3);
        QCOMPARE(lines[2], QByteArray("IP: 127.0.0.1."));
        QVERIFY(tcp.waitClosedByPeer(kWaitMs));
        QCOMPARE(tcp.readFor(50), QByteArray());
    }
    m_unit.reset();

    // With paced answers the connection closes only after the last piece is out.
    m_unit = std::make_unique<Unit>();
    QVERIFY(startUnit({"--close-after", "1", "--chunk", "5", "--chunk-delay", "10"}));
    TcpEnd tcp;
    QVERIFY(tcp.connectTo(m_unit->port()));
    QVERIFY(tcp.send("rip"));
    QVERIFY(tcp.waitClosedByPeer(kWaitMs));
    QCOMPARE(tcp.readFor(50), expectedRipAnswer());
}

void TestUnitTool::chunkedAnswersArriveInPieces() {
    QVERIFY(startUnit({"--chunk", "4", "--chunk-delay", "20"}));
    const QByteArray whole = expectedRipAnswer();

    TcpEnd tcp;
    QVERIFY(tcp.connectTo(m_unit->port()));
    int tcpPieces = 0;
    QVERIFY(tcp.send("rip"));
    QCOMPARE(tcp.readLines(2, kWaitMs, &tcpPieces), whole);
    QVERIFY2(tcpPieces >= 3, QByteArray::number(tcpPieces).constData());

    SerialEnd serial;
    QVERIFY(serial.open(comLink()));
    int serialPieces = 0;
    QVERIFY(serial.write("rip\r\n"));
    QCOMPARE(serial.readLines(2, kWaitMs, &serialPieces), whole);
    QVERIFY2(serialPieces >= 3, QByteArray::number(serialPieces).constData());

    // Two answers in a row keep their order and their bytes.
    QVERIFY(tcp.send("vq"));
    const QList<QByteArray> lines = splitLines(tcp.readLines(2));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QByteArray("v: firmware 2.41 build 0317"));
    QVERIFY(lines[1].startsWith("q: status OK, uptime "));
}

void TestUnitTool::silentAnswersNothing() {
    QVERIFY(startUnit({"--silent", "--close-after", "1"}));
    SerialEnd serial;
    QVERIFY(serial.open(comLink()));
    TcpEnd tcp;
    QVERIFY(tcp.connectTo(m_unit->port()));

    QVERIFY(serial.write("rip\r\n"));
    QVERIFY(tcp.send("rip"));
    QVERIFY(tcp.send("zz\n"));
    QVERIFY(m_unit->waitForOutput("tcp< zz\n", kWaitMs));
    QVERIFY(m_unit->waitForOutput("serial< rip\n", kWaitMs));
    QVERIFY(m_unit->output().contains("tcp< rip\n"));
    // The unit writes each answer down before it sends it, and does one thing at a time:
    // once it has written down a later connection, it has done all it was going to do
    // for those commands.
    TcpEnd marker;
    QVERIFY(marker.connectTo(m_unit->port()));
    QVERIFY(m_unit->waitForOutput("tcp open 127.0.0.1:", kWaitMs, 2));
    QVERIFY(!m_unit->output().contains("serial> "));
    QVERIFY(!m_unit->output().contains("tcp> "));
    QVERIFY(tcp.socket().bytesAvailable() == 0 && !tcp.socket().waitForReadyRead(0));
    // Nothing was answered, so --close-after has nothing to count.
    QCOMPARE(tcp.socket().state(), QAbstractSocket::ConnectedState);
    QVERIFY(!m_unit->output().contains("tcp closed"));
}

void TestUnitTool::quietPrintsOnlyStatusLines() {
    QVERIFY(startUnit({"--quiet"}));
    SerialEnd serial;
    QVERIFY(serial.open(comLink()));
    QVERIFY(serial.write("rip\r\n"));
    QCOMPARE(serial.readLines(2), expectedRipAnswer());
    TcpEnd tcp;
    QVERIFY(tcp.connectTo(m_unit->port()));
    QVERIFY(tcp.send("rdp"));
    QCOMPARE(sequenceOf(splitLines(tcp.readLines(1)).value(0), "rdp"), 1);

    QVERIFY(m_unit->signalAndWait(SIGTERM));
    QCOMPARE(m_unit->output(), m_unit->readyLine() + "\nstop SIGTERM\n");
}

void TestUnitTool::signalRemovesLinkAndExitsCleanly_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("SIGTERM") << int(SIGTERM) << QByteArray("SIGTERM");
    QTest::newRow("SIGINT") << int(SIGINT) << QByteArray("SIGINT");
    QTest::newRow("SIGHUP") << int(SIGHUP) << QByteArray("SIGHUP");
}

void TestUnitTool::signalRemovesLinkAndExitsCleanly() {
    QFETCH(int, signalNumber);
    QFETCH(QByteArray, name);

    QVERIFY(startUnit());
    QVERIFY(isSymlink(comLink()));
    // The terminal may still hold the port and a connection when the unit stops.
    SerialEnd serial;
    QVERIFY(serial.open(comLink()));
    TcpEnd tcp;
    QVERIFY(tcp.connectTo(m_unit->port()));
    QVERIFY(tcp.send("rip"));
    QCOMPARE(tcp.readLines(2), expectedRipAnswer());

    QVERIFY(m_unit->signalAndWait(signalNumber));
    QCOMPARE(m_unit->process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_unit->process().exitCode(), 0);
    QVERIFY(!exists(comLink()));
    QVERIFY(QDir(home() + "/dosdevices").exists());
    QVERIFY(m_unit->output().endsWith("stop " + name + "\n"));
    QVERIFY(tcp.waitClosedByPeer(kWaitMs));
}

void TestUnitTool::refusesToReplaceWhatIsNotALink_data() {
    QTest::addColumn<bool>("folder");
    QTest::newRow("regular file") << false;
    QTest::newRow("folder") << true;
}

void TestUnitTool::refusesToReplaceWhatIsNotALink() {
    QFETCH(bool, folder);
    QVERIFY(QDir().mkpath(home() + "/dosdevices"));
    if (folder) {
        QVERIFY(QDir().mkpath(comLink()));
    } else {
        QFile file(comLink());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("keep me\n");
    }

    QCOMPARE(m_unit->runToExit(home(), {"--tcp-port", "0", "--com", "5"}), 2);
    QVERIFY2(m_unit->errors().contains(QFile::encodeName(comLink())), m_unit->errors().constData());
    QVERIFY(m_unit->errors().contains("not a symbolic link"));
    QVERIFY(!m_unit->output().contains("ready"));
    if (folder) {
        QVERIFY(QFileInfo(comLink()).isDir());
    } else {
        QFile file(comLink());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("keep me\n"));
    }
    // No stray temporary link is left beside it.
    QCOMPARE(QDir(home() + "/dosdevices")
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
             QStringList{"com5"});
}

void TestUnitTool::replacesAStaleLink() {
    QVERIFY(QDir().mkpath(home() + "/dosdevices"));
    QVERIFY(QFile::link("/nonexistent/ttyQ9", comLink()));

    QVERIFY(startUnit());
    QVERIFY(isSymlink(comLink()));
    QCOMPARE(QFileInfo(comLink()).symLinkTarget(), m_unit->device());
    SerialEnd serial;
    QVERIFY(serial.open(comLink()));
    QVERIFY(serial.write("rip\r\n"));
    QCOMPARE(serial.readLines(2), expectedRipAnswer());
    QCOMPARE(QDir(home() + "/dosdevices")
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
             QStringList{"com5"});
}

void TestUnitTool::tcpPortThatCannotBeBound() {
    // A port another listener holds.
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
    const QString taken = QString::number(holder.serverPort());
    QCOMPARE(m_unit->runToExit(home(), {"--tcp-port", taken}), 3);
    QVERIFY2(m_unit->errors().contains("127.0.0.1:" + taken.toLatin1()),
             m_unit->errors().constData());
    // The serial side never came up, so no link is left behind.
    QVERIFY(!exists(comLink()));
    QVERIFY(!m_unit->output().contains("ready"));

    // A privileged port: either this test may bind it and holds it, or nobody here may.
    // Both ways the unit cannot have it and explains how to get a port below 1024.
    QTcpServer low;
    int lowPort = 1009;
    for (; lowPort < 1024; ++lowPort) {
        if (low.listen(QHostAddress::LocalHost, quint16(lowPort)))
            break;
        if (low.serverError() == QAbstractSocket::SocketAccessError)
            break; // not allowed to bind it: neither is the unit
    }
    QVERIFY(lowPort < 1024);
    Unit privileged;
    QCOMPARE(privileged.runToExit(home(), {"--tcp-port", QString::number(lowPort)}), 3);
    QVERIFY2(privileged.errors().contains("unshare -rn"), privileged.errors().constData());
    QVERIFY(privileged.errors().contains("root"));
}

void TestUnitTool::optionsAreChecked() {
    const QList<QStringList> bad = {
        {"--com", "0"},
        {"--com", "x"},
        {"--tcp-port", "70000"},
        {"--address", "1.2.3"},
        {"--address", "1.2.3.256"},
        {"--chunk", "-1"},
        {"--seq-start", "-5"},
        {"--no-serial", "--no-tcp"},
        {"--bogus"},
        {"stray-argument"},
    };
    for (const QStringList& arguments : bad) {
        Unit unit;
        QCOMPARE(unit.runToExit(home(), QStringList{"--tcp-port", "0"} + arguments), 1);
        QVERIFY2(!unit.errors().isEmpty(), qPrintable(arguments.join(' ')));
        QVERIFY(!unit.output().contains("ready"));
    }
    QVERIFY(!exists(home() + "/dosdevices"));

    Unit help;
    QCOMPARE(help.runToExit(home(), {"--help"}), 0);
    for (const char* option :
         {"--home", "--com", "--no-serial", "--tcp-port", "--no-tcp", "--address", "--silent",
          "--close-after", "--chunk", "--chunk-delay", "--quiet", "--seq-start", "unshare"})
        QVERIFY2(help.output().contains(option), option);
}

void TestUnitTool::linksCanBeSwitchedOff() {
    QVERIFY(startUnit({"--no-serial"}));
    QVERIFY(m_unit->readyLine().startsWith("ready tcp=127.0.0.1:"));
    QVERIFY(!exists(home() + "/dosdevices"));
    TcpEnd tcp;
    QVERIFY(tcp.connectTo(m_unit->port()));
    QVERIFY(tcp.send("v"));
    QVERIFY(tcp.readLines(1).startsWith("v: "));
    m_unit.reset();

    m_unit = std::make_unique<Unit>();
    QVERIFY(startUnit({"--no-tcp", "--com", "7"}));
    QVERIFY(!m_unit->readyLine().contains("tcp="));
    QCOMPARE(m_unit->link(), home() + "/dosdevices/com7");
    SerialEnd serial;
    QVERIFY(serial.open(home() + "/dosdevices/com7"));
    QVERIFY(serial.write("rip\r\n"));
    QCOMPARE(serial.readLines(2), expectedRipAnswer());
    QVERIFY(m_unit->signalAndWait(SIGTERM));
    QCOMPARE(m_unit->process().exitCode(), 0);
    QVERIFY(!exists(home() + "/dosdevices/com7"));
}

QTEST_GUILESS_MAIN(TestUnitTool)
#include "tst_unit_tool.moc"
