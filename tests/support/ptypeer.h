#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <termios.h>

class ScratchHome;
class SerialControl;

// The far end of a serial line: a pseudo-terminal whose slave side is the "device" the
// program opens and whose master side the test reads and writes.
//
// The slave is set raw (no echo, no CR/LF rewriting) and the peer keeps a descriptor of
// it open itself, so the master never sees EIO while the program closes and reopens the
// port. Closing the master (closeMaster) is what an adapter vanishing looks like: every
// descriptor of the slave is hung up.
class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool isValid() const { return master_ >= 0 && slave_ >= 0; }
    QString slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }
    // The line settings of the slave as the program left them.
    termios slaveAttributes() const;

    // Writes all of `bytes` to the master (what the unit sends to the program); false when
    // the program stops taking them.
    bool write(QByteArrayView bytes);
    // How many bytes written to the master wait at the slave, not yet read by the program.
    qsizetype waitingAtSlave() const;
    // Waits, without processing Qt events, until `n` bytes wait at the slave.
    bool waitUntilWaitingAtSlave(qsizetype n, int ms) const;
    // What the program has sent that is waiting at the master now, without waiting.
    QByteArray readAvailable();
    // Collects what arrives during `ms` milliseconds while Qt events are processed.
    QByteArray readFor(int ms);
    // Collects until at least `n` bytes have arrived or `ms` milliseconds have passed,
    // processing Qt events meanwhile; returns what was collected.
    QByteArray waitFor(qsizetype n, int ms);
    // Sends a marker through `sender` (the control whose port is this line's slave) and
    // collects, processing Qt events, until the marker arrives; returns what arrived
    // before it, which is everything the program had sent by then: a send that merely
    // comes late would be queued behind the marker. Events posted before the call (a send
    // event, say) have been handled by then. What follows the marker is kept for the next
    // read. "<no marker> " and what came when the marker does not arrive within `ms`.
    QByteArray sentBeforeMarker(SerialControl& sender, int ms = 5000);

    // Puts the slave in exclusive mode, as a program that has it open may (then only root
    // may open it), or takes it out of it. False when the system refuses.
    bool keepExclusive(bool on) const;

    void closeMaster();
    bool linkAs(const ScratchHome& home, int com) const;

private:
    // Waits up to `ms` for the master to become readable, processing Qt events.
    void pump(int ms);

    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
    QByteArray pending_; // read past a marker, not yet handed out
};
