#include "support/ptypeer.h"

#include "platform/link/serialcontrol.h"
#include "support/scratchhome.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

PtyPeer::PtyPeer() {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        master_ = slave_ = -1;
        return;
    }
    slavePath_ = QString::fromLocal8Bit(name);
    termios raw{};
    ::tcgetattr(slave_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_, TCSANOW, &raw);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

PtyPeer::~PtyPeer() {
    closeMaster();
    if (slave_ >= 0)
        ::close(slave_);
}

termios PtyPeer::slaveAttributes() const {
    termios t{};
    ::tcgetattr(slave_, &t);
    return t;
}

bool PtyPeer::write(QByteArrayView bytes) {
    if (master_ < 0)
        return false;
    const char* p = bytes.data();
    qsizetype left = bytes.size();
    // Fails only when the program takes nothing for a long while (it hangs), not when a
    // busy machine makes a big write slow.
    constexpr int StallMs = 15000;
    QDeadlineTimer deadline(StallMs);
    while (left > 0) {
        const ssize_t n = ::write(master_, p, size_t(left));
        if (n > 0) {
            p += n;
            left -= n;
            deadline.setRemainingTime(StallMs);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN && !deadline.hasExpired()) {
            // The program has not taken what was sent so far: let it run.
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            pollfd w{master_, POLLOUT, 0};
            ::poll(&w, 1, 5);
            continue;
        }
        return false;
    }
    return true;
}

qsizetype PtyPeer::waitingAtSlave() const {
    int n = 0;
    if (slave_ < 0 || ::ioctl(slave_, FIONREAD, &n) != 0)
        return -1;
    return n;
}

bool PtyPeer::waitUntilWaitingAtSlave(qsizetype n, int ms) const {
    QDeadlineTimer deadline(ms);
    while (waitingAtSlave() < n) {
        if (deadline.hasExpired())
            return false;
        ::poll(nullptr, 0, 1);
    }
    return true;
}

QByteArray PtyPeer::readAvailable() {
    QByteArray out = std::exchange(pending_, QByteArray());
    if (master_ < 0)
        return out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // EAGAIN: nothing more now
    }
    return out;
}

void PtyPeer::pump(int ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (master_ < 0) {
        ::poll(nullptr, 0, ms);
        return;
    }
    pollfd r{master_, POLLIN, 0};
    ::poll(&r, 1, ms);
}

QByteArray PtyPeer::readFor(int ms) {
    QByteArray out;
    QDeadlineTimer deadline(ms);
    do {
        pump(int(qMin<qint64>(2, qMax<qint64>(0, deadline.remainingTime()))));
        out += readAvailable();
    } while (!deadline.hasExpired());
    return out;
}

QByteArray PtyPeer::waitFor(qsizetype n, int ms) {
    QByteArray out = readAvailable();
    QDeadlineTimer deadline(ms);
    while (out.size() < n && !deadline.hasExpired()) {
        pump(int(qMin<qint64>(2, qMax<qint64>(0, deadline.remainingTime()))));
        out += readAvailable();
    }
    return out;
}

QByteArray PtyPeer::sentBeforeMarker(SerialControl& sender, int ms) {
    static int count = 0;
    const QByteArray marker = "<marker " + QByteArray::number(++count) + '>';
    sender.Output(QString::fromLatin1(marker));
    QByteArray got;
    QDeadlineTimer deadline(ms);
    for (;;) {
        // Events first: what was posted before the marker went out is handled before it
        // is looked for.
        pump(int(qMin<qint64>(2, qMax<qint64>(0, deadline.remainingTime()))));
        got += readAvailable();
        if (const qsizetype at = got.indexOf(marker); at >= 0) {
            pending_ = got.mid(at + marker.size());
            return got.left(at);
        }
        if (deadline.hasExpired())
            return "<no marker> " + got;
    }
}

bool PtyPeer::keepExclusive(bool on) const {
    return ::ioctl(slave_, on ? TIOCEXCL : TIOCNXCL) == 0;
}

void PtyPeer::closeMaster() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

bool PtyPeer::linkAs(const ScratchHome& home, int com) const {
    return home.linkCom(com, slavePath_);
}
