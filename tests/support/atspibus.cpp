#include "support/atspibus.h"

#include <QFile>
#include <QRegularExpression>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Starts `argv` with its standard output into a pipe, whose read end goes to `out`, or
// with its output and errors to /dev/null when `out` is null; the child gets SIGTERM
// when this process dies. Returns the child's id, or -1.
pid_t spawn(const char* const argv[], int* out) {
    int fds[2] = {-1, -1};
    if (out && ::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        if (out) {
            ::dup2(fds[1], STDOUT_FILENO);
        } else {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        ::execvp(argv[0], const_cast<char* const*>(argv));
        ::_exit(127);
    }
    if (!out)
        return pid;
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return -1;
    }
    *out = fds[0];
    return pid;
}

// Reads from `fd` until `done` holds for what was read, the pipe ends or `ms` pass.
template <class Done> QByteArray readUntil(int fd, int ms, Done done) {
    QByteArray got;
    for (int waited = 0; !done(got) && waited < ms; waited += 50) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char buf[512];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, n);
    }
    return got;
}

} // namespace

AtSpiBus::AtSpiBus() : runtime_(QDir::tempPath() + QStringLiteral("/quorlane-atspi-XXXXXX")) {
    if (!runtime_.isValid()) {
        error_ = QStringLiteral("no scratch folder for the bus");
        return;
    }
    QFile::setPermissions(runtime_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_.path()));

    const char* const daemon[] = {"dbus-daemon", "--session", "--nofork", "--print-address",
                                  nullptr};
    int out = -1;
    daemon_ = spawn(daemon, &out);
    if (daemon_ < 0) {
        error_ = QStringLiteral("cannot start dbus-daemon");
        return;
    }
    const QByteArray session =
        readUntil(out, 10000, [](const QByteArray& got) { return got.contains('\n'); }).trimmed();
    ::close(out);
    if (session.isEmpty()) {
        error_ = QStringLiteral("dbus-daemon --session gave no address (is dbus-daemon "
                                "installed?)");
        return;
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", session);

    // Asking for the accessibility bus's address starts it.
    const char* const ask[] = {"dbus-send",     "--session",
                               "--print-reply", "--dest=org.a11y.Bus",
                               "/org/a11y/bus", "org.a11y.Bus.GetAddress",
                               nullptr};
    const pid_t asker = spawn(ask, &out);
    if (asker < 0) {
        error_ = QStringLiteral("cannot start dbus-send");
        return;
    }
    const QByteArray reply = readUntil(out, 20000, [](const QByteArray&) { return false; });
    ::close(out);
    ::kill(asker, SIGTERM);
    ::waitpid(asker, nullptr, 0);
    static const QRegularExpression quoted(QStringLiteral("string \"([^\"]+)\""));
    const QRegularExpressionMatch m = quoted.match(QString::fromLocal8Bit(reply));
    if (!m.hasMatch()) {
        error_ = QStringLiteral("the accessibility bus did not start (is at-spi2-core "
                                "installed?): ") +
                 QString::fromLocal8Bit(reply);
        return;
    }
    address_ = m.captured(1);
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
}

bool AtSpiBus::startWindowManager() {
    // Openbox runs its start-up command once it manages the screen.
    const QByteArray ready = QFile::encodeName(runtime_.path() + QStringLiteral("/wm-ready"));
    const QByteArray startup = "touch " + ready;
    const char* const wm[] = {"openbox", "--startup", startup.constData(), nullptr};
    windowManager_ = spawn(wm, nullptr);
    if (windowManager_ < 0) {
        error_ = QStringLiteral("cannot start openbox");
        return false;
    }
    for (int waited = 0; waited < 20000; waited += 50) {
        if (QFile::exists(QFile::decodeName(ready)))
            return true;
        if (::waitpid(windowManager_, nullptr, WNOHANG) == windowManager_) {
            windowManager_ = -1;
            break;
        }
        ::usleep(50000);
    }
    error_ = QStringLiteral("the window manager did not start (is openbox installed, and "
                            "DISPLAY set?)");
    return false;
}

AtSpiBus::~AtSpiBus() {
    for (const pid_t pid : {windowManager_, daemon_}) {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
}
