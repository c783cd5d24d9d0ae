#include "support/portlockfile.h"

#include "platform/base/portlock.h"
#include "support/ptypeer.h"

#include <QFile>
#include <QSysInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

PortLockFile::PortLockFile(const QString& device, qint64 pid, const QByteArray& program,
                           bool keepLocked)
    : path_(portlock::lockFilePath(device)) {
    if (path_.isEmpty())
        return;
    const int fd =
        ::open(QFile::encodeName(path_).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const QByteArray text = QByteArray::number(pid) + '\n' + program + '\n' +
                            QSysInfo::machineHostName().toUtf8() + '\n' +
                            QSysInfo::machineUniqueId() + '\n' + QSysInfo::bootUniqueId() + '\n';
    const bool written = ::write(fd, text.constData(), size_t(text.size())) == text.size();
    if (!written || (keepLocked && ::flock(fd, LOCK_EX | LOCK_NB) != 0)) {
        ::unlink(QFile::encodeName(path_).constData());
        ::close(fd);
        return;
    }
    fd_ = fd;
}

PortLockFile::~PortLockFile() {
    if (fd_ < 0)
        return;
    // Only the file written here goes; whatever replaced it stays.
    struct stat mine {
    }, named{};
    const QByteArray native = QFile::encodeName(path_);
    if (::fstat(fd_, &mine) == 0 && ::lstat(native.constData(), &named) == 0 &&
        mine.st_ino == named.st_ino && mine.st_dev == named.st_dev)
        ::unlink(native.constData());
    ::close(fd_);
}

bool PortLockFile::exists() const {
    return QFile::exists(path_);
}

std::unique_ptr<PtyPeer> ptyWithFreeLockName() {
    std::vector<std::unique_ptr<PtyPeer>> taken;
    for (int attempt = 0; attempt < 8; ++attempt) {
        auto pty = std::make_unique<PtyPeer>();
        if (!pty->isValid())
            return nullptr;
        const QString lock = portlock::lockFilePath(pty->slavePath());
        if (!lock.isEmpty() && !QFile::exists(lock))
            return pty;
        taken.push_back(std::move(pty)); // held, so that the next one gets another number
    }
    return nullptr;
}

RunningProcess::RunningProcess() {
    process_.start(QStringLiteral("sleep"), {QStringLiteral("300")});
    process_.waitForStarted();
}

RunningProcess::~RunningProcess() {
    process_.kill();
    process_.waitForFinished();
}

qint64 endedProcessId() {
    QProcess process;
    process.start(QStringLiteral("true"), QStringList());
    if (!process.waitForStarted())
        return 0;
    const qint64 pid = process.processId();
    process.waitForFinished();
    return pid;
}
