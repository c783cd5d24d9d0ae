#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cerrno>

// The lock files that QSerialPort keeps for the devices it has open, found and judged
// the way Qt itself does, so that a port that cannot be opened because of one can be
// explained, and a lock left behind by a program that ended without removing it can be
// cleared.
//
// QSerialPort takes a QLockFile named "LCK.." followed by the device path without its
// leading "/dev/", every '/' turned into '_' (/dev/ttyUSB0 -> LCK..ttyUSB0, /dev/pts/3 ->
// LCK..pts_3), in the first of its lock folders that can be read and either holds that
// file already or can be written. The file holds the owner's process id, program name
// and host name, one a line (then the machine and boot ids). A program that is killed
// leaves its file behind; Qt removes such a stale file by itself only where it may
// delete it, so another user's stale file in a sticky lock folder (/var/lock, /run/lock)
// keeps the port shut for everyone else.
//
// Besides the lock file, a device is kept from other programs by two means of the
// system: an flock on the device, which this program takes while it has a port open (see
// claimDevice), and the device's exclusive mode (TIOCEXCL), which QSerialPort turns on
// while it has a port open and in which only root may open the device.
//
// Unix only; elsewhere there are no lock files and every lookup finds none.
namespace portlock {

// The folders QSerialPort looks at, in its order.
QStringList lockFolders();

// The lock file QSerialPort uses for `device` (the device itself, links already
// resolved); empty when none of the folders is usable.
QString lockFilePath(const QString& device);

// Whether the process a lock file names is there.
enum class Holder {
    Running,   // it runs on this machine
    Gone,      // it no longer runs (or its number now belongs to another program)
    Nobody,    // the file names no process (empty, or not a lock file)
    OtherHost, // it was taken on another machine; this one cannot tell
    Unreadable // the file cannot be read
};

struct PortLock {
    QString device;      // the device the lock is for (links resolved)
    QString path;        // the lock file; empty when no lock folder is usable
    bool exists = false; // the file is there
    qint64 pid = 0;      // the process it names (0 when it names none)
    QString program;     // that program's name, from the file or else /proc
    QString host;        // the host name in the file
    Holder holder = Holder::Nobody;
    // The user the file belongs to. A file whose owner has no number in this process's
    // user namespace shows as the overflow user (nobody); it reads "a user outside this
    // user namespace, shown here as nobody" then, and ownerOutside is set.
    QString fileOwner;
    bool ownerOutside = false;
    bool removable = false; // this process may delete the file

    // A lock nobody holds any longer: its process is gone, or it names none.
    bool isStale() const { return exists && (holder == Holder::Gone || holder == Holder::Nobody); }
    // The file keeps the port shut for this process: it is not a stale lock that QSerialPort
    // would clear by itself.
    bool keepsShut() const { return exists && !(isStale() && removable); }
};

// Looks at the lock file of `device` (links resolved here).
PortLock inspect(const QString& device);

// "the lock file /var/lock/LCK..pts_3 names process 1234 (minicom), which is still
// running", "... which no longer runs", and so on; empty when there is no lock file.
QString describe(const PortLock& lock);

// The command that clears a stale lock: "quorlane-ports unlock 5" for COM 5, or "rm
// <path>" when `com` is 0. When this process may not delete the file, the command runs
// under sudo, and a COM number is replaced by the device ("sudo quorlane-ports unlock
// /dev/ttyUSB0"): sudo resets the environment, so COM numbers would be looked up in
// another home.
QString clearCommand(const PortLock& lock, int com);

// What the operator can do about a lock that keeps a port shut: for a stale one the
// command that clears it, for a running holder to end that program first. Empty when
// there is no lock file.
QString advice(const PortLock& lock, int com);

// Deletes a stale lock file. Refuses (returns false with the reason in `why`) when the
// file is not stale, when a holder still keeps it locked, or when the system refuses;
// `denied` is set when the refusal was a permission problem.
bool removeStale(const PortLock& lock, QString* why, bool* denied);

// Taking a device the way the serial control does: opened for reading and writing without
// waiting for the modem lines and without becoming the controlling terminal, then
// flock'ed, so that programs that take the same lock (other copies of this program) keep
// away from each other.
struct DeviceClaim {
    int fd = -1;            // the open descriptor, holding the lock; -1 when not opened
    int error = 0;          // errno of the failed open, or EWOULDBLOCK: another holds the lock
    bool exclusive = false; // opened although in exclusive mode (only root can)

    bool opened() const { return fd >= 0; }
    // Another program keeps the device: it is locked, or in exclusive use.
    bool busy() const { return error == EBUSY || error == EWOULDBLOCK || exclusive; }
};

// Opens and locks `device` (the device itself, links resolved). A device that takes no
// locks is opened without one. The descriptor is closed on exec.
DeviceClaim claimDevice(const QString& device);
// Closes the claim's descriptor, which lets go of its lock.
void release(DeviceClaim& claim);
// Takes back the exclusive mode that QSerialPort turns on when it opens a device: the
// system keeps that mode until the descriptor is closed by QSerialPort itself, which a
// killed program never does, and a pseudo-terminal keeps it further for as long as the
// program on its other side runs.
void leaveExclusiveMode(int fd);

// "in exclusive use by another program", "locked by another program": the short state of
// a busy claim.
QString busySummary(const DeviceClaim& claim);
// Why a busy `device` cannot be had, for the operator: what keeps it, the likely cause and
// how to find the program ("... See which with: fuser -v /dev/ttyUSB0").
QString busyReason(const QString& device, const DeviceClaim& claim);

// Whether the device at `path`, or open as `fd`, is the slave side of a pseudo-terminal
// (/dev/pts/N).
bool isPseudoTerminal(const QString& path);
bool isPseudoTerminal(int fd);

} // namespace portlock
