#include "seriallink.h"

#include "console.h"
#include "options.h"
#include "responder.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Answers waiting for a reader beyond this are dropped (nobody has had the port open
// for a long time).
constexpr qsizetype maxOutbox = 256 * 1024;

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

bool setFlags(int fd, bool nonBlocking) {
    const int fdFlags = ::fcntl(fd, F_GETFD);
    if (fdFlags < 0 || ::fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC) < 0)
        return false;
    if (!nonBlocking)
        return true;
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) >= 0;
}

} // namespace

SerialLink::SerialLink(Responder& responder, const UnitOptions& options, QObject* parent)
    : QObject(parent), m_responder(responder), m_options(options),
      m_writer(options.chunk, options.chunkDelayMs, [this](const QByteArray& b) { send(b); }) {
    m_resumeTimer.setSingleShot(true);
    m_resumeTimer.setInterval(200);
    connect(&m_resumeTimer, &QTimer::timeout, this, [this] {
        if (m_readNotifier)
            m_readNotifier->setEnabled(true);
    });
    m_retryTimer.setSingleShot(true);
    m_retryTimer.setInterval(20);
    connect(&m_retryTimer, &QTimer::timeout, this, &SerialLink::flushOutbox);
}

SerialLink::~SerialLink() {
    removeLink();
    m_readNotifier.reset();
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
}

int SerialLink::open() {
    if (::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) < 0) {
        console::error("cannot open a pseudo-terminal: " + systemError(errno));
        return ExitUsage;
    }
    char name[256] = {};
    if (::ttyname_r(m_slave, name, sizeof name) != 0) {
        console::error("cannot name the pseudo-terminal device: " + systemError(errno));
        return ExitUsage;
    }
    m_devicePath = QString::fromLocal8Bit(name);

    // Raw 8N1 at 19200 baud. A pseudo-terminal has no real line speed; the setting is
    // there so that the device looks like the port the terminal expects.
    termios tio{};
    if (::tcgetattr(m_slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
        tio.c_cflag |= CS8 | CLOCAL | CREAD;
        ::cfsetispeed(&tio, B19200);
        ::cfsetospeed(&tio, B19200);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    if (!setFlags(m_master, true) || !setFlags(m_slave, false)) {
        console::error("cannot set up the pseudo-terminal: " + systemError(errno));
        return ExitUsage;
    }

    const int linked = makeLink();
    if (linked != ExitOk)
        return linked;

    m_readNotifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &SerialLink::readMaster);
    return ExitOk;
}

int SerialLink::makeLink() {
    const QString folder = m_options.home + "/dosdevices";
    if (!QDir().mkpath(folder)) {
        console::error("cannot create the folder " + folder);
        return ExitUsage;
    }
    m_linkPath = folder + "/com" + QString::number(m_options.com);
    const QByteArray link = QFile::encodeName(m_linkPath);
    const QByteArray target = QFile::encodeName(m_devicePath);

    struct stat st {};
    if (::lstat(link.constData(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        console::error(m_linkPath + " exists and is not a symbolic link; refusing to replace it. "
                                    "Remove it or choose another port with --com.");
        return ExitLinkRefused;
    }
    // Make the new link beside the old one and rename it over, so the name never
    // disappears in between.
    const QByteArray temporary = link + ".new-" + QByteArray::number(::getpid());
    ::unlink(temporary.constData());
    if (::symlink(target.constData(), temporary.constData()) < 0) {
        console::error("cannot create the link " + m_linkPath + ": " + systemError(errno));
        return ExitUsage;
    }
    if (::rename(temporary.constData(), link.constData()) < 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        console::error("cannot create the link " + m_linkPath + ": " + systemError(error));
        return ExitUsage;
    }
    m_linkMade = true;
    return ExitOk;
}

void SerialLink::removeLink() {
    if (!m_linkMade)
        return;
    m_linkMade = false;
    const QByteArray link = QFile::encodeName(m_linkPath);
    char target[4096] = {};
    const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
    // Someone else may have taken the name over meanwhile; leave theirs alone.
    if (n > 0 && QByteArray(target, n) == QFile::encodeName(m_devicePath))
        ::unlink(link.constData());
}

void SerialLink::readMaster() {
    char buffer[4096];
    const ssize_t n = ::read(m_master, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n <= 0) {
        // Cannot happen while the unit holds the device open; should it happen anyway,
        // pause instead of spinning on a descriptor that stays readable.
        console::error("serial read failed: " +
                       (n < 0 ? systemError(errno) : QStringLiteral("end of file")));
        m_readNotifier->setEnabled(false);
        m_resumeTimer.start();
        return;
    }
    for (const QByteArray& line : m_lines.feed(QByteArray(buffer, n)))
        handleLine(line);
}

void SerialLink::handleLine(const QByteArray& line) {
    console::traffic("serial< ", line);
    if (m_options.silent)
        return;
    for (const QByteArray& answer : m_responder.answer(line.trimmed())) {
        console::traffic("serial> ", answer);
        m_writer.write(answer + "\r\n");
    }
}

void SerialLink::send(const QByteArray& bytes) {
    if (m_outbox.size() + bytes.size() > maxOutbox) {
        if (!m_overflowReported)
            console::error("nobody reads the serial port; dropping answers");
        m_overflowReported = true;
        return;
    }
    m_outbox += bytes;
    if (!m_retryTimer.isActive())
        flushOutbox();
}

void SerialLink::flushOutbox() {
    while (!m_outbox.isEmpty()) {
        const ssize_t n = ::write(m_master, m_outbox.constData(), m_outbox.size());
        if (n > 0) {
            m_outbox.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            console::error("serial write failed: " + systemError(errno));
            m_outbox.clear();
            return;
        }
        // The device's input queue is full: try again shortly.
        m_retryTimer.start();
        return;
    }
    m_overflowReported = false;
}
