#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <memory>

class PtyPeer;

// A lock file in QSerialPort's form (process id, program, host name, machine and boot
// ids) for a device the test holds, written into the system's lock folder and removed
// again when the object goes, if it is still the file written here. With `keepLocked`
// the file stays flock'ed, as a running Qt program keeps its own.
class PortLockFile {
public:
    PortLockFile(const QString& device, qint64 pid, const QByteArray& program, bool keepLocked);
    ~PortLockFile();
    PortLockFile(const PortLockFile&) = delete;
    PortLockFile& operator=(const PortLockFile&) = delete;

    bool isValid() const { return fd_ >= 0; }
    QString path() const { return path_; }
    bool exists() const;

private:
    QString path_;
    int fd_ = -1;
};

// A pseudo-terminal whose lock file name is free: a file that an earlier holder of the
// same terminal number left behind is not the test's to touch, so another terminal is
// taken instead. Null when none could be had.
std::unique_ptr<PtyPeer> ptyWithFreeLockName();

// A process for a lock file to name, running ("sleep") until the object goes.
class RunningProcess {
public:
    RunningProcess();
    ~RunningProcess();
    qint64 pid() const { return process_.processId(); }

private:
    QProcess process_;
};

// The number of a process that has ended.
qint64 endedProcessId();
