#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

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
    QString path;        // the lock file; empty when no lock folder is usable
    bool exists = false; // the file is there
    qint64 pid = 0;      // the process it names (0 when it names none)
    QString program;     // that program's name, from the file or else /proc
    QString host;        // the host name in the file
    Holder holder = Holder::Nobody;
    QString fileOwner;      // the user the file belongs to
    bool removable = false; // this process may delete the file

    // A lock nobody holds any longer: its process is gone, or it names none.
    bool isStale() const { return exists && (holder == Holder::Gone || holder == Holder::Nobody); }
};

// Looks at the lock file of `device` (links resolved here).
PortLock inspect(const QString& device);

// "the lock file /var/lock/LCK..pts_3 names process 1234 (minicom), which is still
// running", "... which no longer runs", and so on; empty when there is no lock file.
QString describe(const PortLock& lock);

// The command that clears a stale lock: "quorlane-ports unlock 5" for COM 5, or "rm
// <path>" when `com` is 0; either behind "sudo " when this process may not delete the
// file.
QString clearCommand(const PortLock& lock, int com);

// What the operator can do about a lock that keeps a port shut: for a stale one the
// command that clears it, for a running holder to end that program first. Empty when
// there is no lock file.
QString advice(const PortLock& lock, int com);

// Deletes a stale lock file. Refuses (returns false with the reason in `why`) when the
// file is not stale, when a holder still keeps it locked, or when the system refuses;
// `denied` is set when the refusal was a permission problem.
bool removeStale(const PortLock& lock, QString* why, bool* denied);

} // namespace portlock
