#include "platform/base/portlock.h"

#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif

namespace portlock {

namespace {

#ifdef Q_OS_UNIX
// What a lock file says, line by line.
struct Contents {
    qint64 pid = 0;
    QString program;
    QString host;
    QByteArray hostId;
    QByteArray bootId;
};

bool readContents(const QString& path, Contents& contents, bool& readable) {
    QFile file(path);
    readable = file.open(QIODevice::ReadOnly);
    if (!readable)
        return false;
    const QList<QByteArray> lines = file.read(4096).split('\n');
    // A pid padded with blanks (the older UUCP form) counts as well.
    bool ok = false;
    const qint64 pid = lines.value(0).trimmed().toLongLong(&ok);
    if (!ok || pid <= 0 || pid > INT_MAX)
        return false;
    contents.pid = pid;
    contents.program = QString::fromUtf8(lines.value(1).trimmed());
    contents.host = QString::fromUtf8(lines.value(2).trimmed());
    contents.hostId = lines.value(3).trimmed();
    contents.bootId = lines.value(4).trimmed();
    return true;
}

QByteArray procFile(qint64 pid, const char* name) {
    return "/proc/" + QByteArray::number(pid) + '/' + name;
}

// The file name of the program process `pid` runs, where /proc shows it.
QString executableName(qint64 pid) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink(procFile(pid, "exe").constData(), target, sizeof target - 1);
    if (n <= 0)
        return QString();
    QByteArray path(target, n);
    const QByteArray deleted(" (deleted)");
    if (path.endsWith(deleted))
        path.chop(deleted.size());
    return QFileInfo(QFile::decodeName(path)).fileName();
}

// The kernel's short name of the process (at most 15 characters), readable for any
// process.
QString shortName(qint64 pid) {
    QFile comm(QString::fromLatin1(procFile(pid, "comm")));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.readAll().trimmed());
}

// Whether the process that took a lock under the name `program` still runs. Like
// QLockFile: a number that now belongs to another program counts as gone.
Holder runningState(qint64 pid, const QString& program, QString& seenName) {
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return Holder::Gone;
    const QString exe = executableName(pid);
    if (!exe.isEmpty()) {
        seenName = exe;
        return program.isEmpty() || exe == program ? Holder::Running : Holder::Gone;
    }
    // Another user's process: its program is hidden, its short name is not.
    const QString comm = shortName(pid);
    seenName = comm;
    if (comm.isEmpty() || program.isEmpty())
        return Holder::Running;
    return comm == program.left(comm.size()) ? Holder::Running : Holder::Gone;
}

// Whether `uid`, as this process sees it, is a user of this process's user namespace. A
// file whose owner is not shows as the overflow user, and being root in the namespace
// gives no power over it.
bool uidMapped(uid_t uid) {
    QFile map(QStringLiteral("/proc/self/uid_map"));
    if (!map.open(QIODevice::ReadOnly))
        return true;
    const QList<QByteArray> lines = map.readAll().split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() != 3)
            continue;
        const qulonglong first = fields[0].toULongLong(), count = fields[2].toULongLong();
        if (uid >= first && uid - first < count)
            return true;
    }
    return false;
}

// Whether this process may delete `path`: it may write the folder, and in a sticky
// folder it owns the file or the folder, or it is root over the file's owner.
bool mayDelete(const QString& path, uid_t fileUid) {
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    struct stat dir {};
    if (::stat(folder.constData(), &dir) != 0 ||
        ::faccessat(AT_FDCWD, folder.constData(), W_OK | X_OK, AT_EACCESS) != 0)
        return false;
    if ((dir.st_mode & S_ISVTX) == 0)
        return true;
    const uid_t me = ::geteuid();
    return (me == 0 && uidMapped(fileUid)) || fileUid == me || dir.st_uid == me;
}

QString userName(uid_t uid) {
    if (const passwd* pw = ::getpwuid(uid))
        return QString::fromLocal8Bit(pw->pw_name);
    return QString::number(uid);
}

// Reads and judges the lock file at `path`.
PortLock judge(const QString& path) {
    PortLock lock;
    lock.path = path;
    if (path.isEmpty())
        return lock;
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return lock;
    lock.exists = true;
    lock.ownerOutside = !uidMapped(st.st_uid);
    lock.fileOwner = userName(st.st_uid);
    if (lock.ownerOutside)
        lock.fileOwner = QStringLiteral("a user outside this user namespace, shown here as ") +
                         lock.fileOwner;
    lock.removable = mayDelete(path, st.st_uid);

    Contents contents;
    bool readable = false;
    if (!readContents(path, contents, readable)) {
        lock.holder = readable ? Holder::Nobody : Holder::Unreadable;
        return lock;
    }
    lock.pid = contents.pid;
    lock.program = contents.program;
    lock.host = contents.host;

    bool sameHost = contents.host.isEmpty() || contents.host == QSysInfo::machineHostName();
    if (!contents.hostId.isEmpty()) {
        const QByteArray ours = QSysInfo::machineUniqueId();
        if (!ours.isEmpty())
            sameHost = ours == contents.hostId;
    }
    if (!sameHost) {
        lock.holder = Holder::OtherHost;
        return lock;
    }
    if (!contents.bootId.isEmpty() && contents.bootId != QSysInfo::bootUniqueId()) {
        lock.holder = Holder::Gone; // taken before the machine last started
        return lock;
    }
    QString seen;
    lock.holder = runningState(contents.pid, contents.program, seen);
    if (lock.program.isEmpty())
        lock.program = seen;
    return lock;
}
#endif

QString processText(const PortLock& lock) {
    QString text = QStringLiteral("process %1").arg(lock.pid);
    if (!lock.program.isEmpty())
        text += QStringLiteral(" (%1)").arg(lock.program);
    return text;
}

} // namespace

QStringList lockFolders() {
    return {QStringLiteral("/var/lock"),
            QStringLiteral("/etc/locks"),
            QStringLiteral("/var/spool/locks"),
            QStringLiteral("/var/spool/uucp"),
            QStringLiteral("/tmp"),
            QStringLiteral("/var/tmp"),
            QStringLiteral("/var/lock/lockdev"),
            QStringLiteral("/run/lock")};
}

QString lockFilePath(const QString& device) {
#ifdef Q_OS_UNIX
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QString fileName = QStringLiteral("/LCK..") + name;
    for (const QString& folder : lockFolders()) {
        const QFileInfo info(folder);
        if (info.isReadable() && (QFile::exists(folder + fileName) || info.isWritable()))
            return folder + fileName;
    }
#else
    Q_UNUSED(device);
#endif
    return QString();
}

PortLock inspect(const QString& device) {
#ifdef Q_OS_UNIX
    const QString canonical = QFileInfo(device).canonicalFilePath();
    const QString target = canonical.isEmpty() ? device : canonical;
    PortLock lock = judge(lockFilePath(target));
    lock.device = target;
    return lock;
#else
    Q_UNUSED(device);
    return PortLock();
#endif
}

QString describe(const PortLock& lock) {
    if (!lock.exists)
        return QString();
    const QString file = QStringLiteral("the lock file %1").arg(lock.path);
    switch (lock.holder) {
    case Holder::Running:
        return file + QStringLiteral(" names %1, which is still running").arg(processText(lock));
    case Holder::Gone:
        return file + QStringLiteral(" names %1, which no longer runs").arg(processText(lock));
    case Holder::Nobody:
        return file + QStringLiteral(" names no process (it is empty or not a lock file)");
    case Holder::OtherHost:
        return file + QStringLiteral(" names %1 on host %2, which cannot be checked from here")
                          .arg(processText(lock), lock.host);
    case Holder::Unreadable:
        break;
    }
    return file + QStringLiteral(" cannot be read");
}

QString clearCommand(const PortLock& lock, int com) {
    if (com <= 0)
        return (lock.removable ? QString() : QStringLiteral("sudo ")) +
               QStringLiteral("rm %1").arg(lock.path);
    if (lock.removable || lock.device.isEmpty())
        return QStringLiteral("quorlane-ports unlock %1").arg(com);
    return QStringLiteral("sudo quorlane-ports unlock %1").arg(lock.device);
}

QString advice(const PortLock& lock, int com) {
    if (!lock.exists)
        return QString();
    if (lock.holder == Holder::Running)
        return QStringLiteral("End that program to free the port.");
    QString owner;
    if (!lock.removable)
        owner = QStringLiteral(" (the file belongs to %1%2)")
                    .arg(lock.fileOwner, lock.ownerOutside
                                             ? QStringLiteral("; run it outside the namespace")
                                             : QString());
    if (lock.isStale())
        return QStringLiteral("It is a stale lock; clear it with: %1%2")
            .arg(clearCommand(lock, com), owner);
    return QStringLiteral("If no program uses the port, remove it with: %1%2")
        .arg(clearCommand(lock, 0), owner);
}

bool removeStale(const PortLock& lock, QString* why, bool* denied) {
    *denied = false;
#ifdef Q_OS_UNIX
    if (!lock.isStale()) {
        *why = describe(lock);
        return false;
    }
    const QByteArray native = QFile::encodeName(lock.path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true; // gone meanwhile
        *denied = errno == EACCES || errno == EPERM;
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // A Qt program keeps its lock file locked while it runs: never take such a file away.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        *why = QStringLiteral("a running program still holds %1 locked").arg(lock.path);
        return false;
    }
    // Judge again what is there now: the file may have been replaced since.
    struct stat opened {
    }, named{};
    const PortLock now = judge(lock.path);
    if (::fstat(fd, &opened) != 0 || ::lstat(native.constData(), &named) != 0 ||
        opened.st_ino != named.st_ino || opened.st_dev != named.st_dev || !now.isStale()) {
        ::close(fd);
        *why = QStringLiteral("%1 changed meanwhile: %2").arg(lock.path, describe(now));
        return false;
    }
    const bool removed = ::unlink(native.constData()) == 0;
    const int error = errno;
    ::close(fd);
    if (removed || error == ENOENT)
        return true;
    *denied = error == EACCES || error == EPERM;
    *why = QString::fromLocal8Bit(std::strerror(error));
    return false;
#else
    Q_UNUSED(lock);
    *why = QStringLiteral("there are no lock files here");
    return false;
#endif
}

DeviceClaim claimDevice(const QString& device) {
    DeviceClaim claim;
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(device).constData(),
                          O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        claim.error = errno; // EBUSY: in exclusive mode
        return claim;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        claim.error = EWOULDBLOCK;
        return claim;
    }
    // Any other flock failure (a device that takes no locks): used without one.
#ifdef TIOCGEXCL
    int exclusive = 0;
    claim.exclusive = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
#endif
    claim.fd = fd;
#else
    Q_UNUSED(device);
    claim.error = ENOSYS;
#endif
    return claim;
}

void release(DeviceClaim& claim) {
#ifdef Q_OS_UNIX
    if (claim.fd >= 0)
        ::close(claim.fd);
#endif
    claim.fd = -1;
}

void leaveExclusiveMode(int fd) {
#ifdef TIOCNXCL
    if (fd >= 0)
        ::ioctl(fd, TIOCNXCL);
#else
    Q_UNUSED(fd);
#endif
}

QString busySummary(const DeviceClaim& claim) {
    if (claim.error == EWOULDBLOCK)
        return QStringLiteral("locked by another program");
    return claim.busy() ? QStringLiteral("in exclusive use by another program") : QString();
}

QString busyReason(const QString& device, const DeviceClaim& claim) {
    if (!claim.busy())
        return QString();
    if (claim.error == EWOULDBLOCK) {
        const PortLock lock = inspect(device);
        if (lock.exists && lock.holder == Holder::Running)
            return describe(lock) + QStringLiteral(". ") + advice(lock, 0);
        return QStringLiteral("another program has locked %1 for its own use (another copy of "
                              "Quorlane, say). See which programs have it open with: fuser -v %1")
            .arg(device);
    }
    QString text = QStringLiteral("%1 is in exclusive use, most likely by another program that "
                                  "has it open (%2)")
                       .arg(device, QString::fromLocal8Bit(std::strerror(EBUSY)));
    if (isPseudoTerminal(device))
        text += QStringLiteral("; a pseudo-terminal also stays so after a program that had it "
                               "ended without letting go, until the program on its other side "
                               "closes it");
    text += QStringLiteral(". See which programs have it open with: fuser -v %1").arg(device);
    return text;
}

namespace {

#ifdef Q_OS_LINUX
bool pseudoTerminalNode(const struct stat& st) {
    const unsigned int m = major(st.st_rdev);
    return S_ISCHR(st.st_mode) && m >= 136 && m <= 143; // UNIX98 pseudo-terminal slaves
}
#endif

} // namespace

bool isPseudoTerminal(const QString& path) {
#ifdef Q_OS_LINUX
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && pseudoTerminalNode(st);
#else
    Q_UNUSED(path);
    return false;
#endif
}

bool isPseudoTerminal(int fd) {
#ifdef Q_OS_LINUX
    struct stat st {};
    return fd >= 0 && ::fstat(fd, &st) == 0 && pseudoTerminalNode(st);
#else
    Q_UNUSED(fd);
    return false;
#endif
}

} // namespace portlock
