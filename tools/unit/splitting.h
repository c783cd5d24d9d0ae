#pragma once

#include <QByteArray>
#include <QList>

// Cuts serial input into lines. A line ends at CR, LF or CR LF; a CR LF pair counts
// as one line end also when the CR and the LF arrive in different reads.
class LineSplitter {
public:
    // Appends bytes and returns the lines they complete (without their ends). An empty
    // line comes back as an empty array.
    QList<QByteArray> feed(const QByteArray& bytes);
    bool hasPartialLine() const { return !m_partial.isEmpty(); }

    // A line longer than this is handed on as it is, so that a sender that never ends
    // a line cannot make the buffer grow without bound.
    static constexpr int maxLine = 4096;

private:
    QByteArray m_partial;
    bool m_afterCr = false;
};

// Takes complete commands off the front of what a TCP connection has sent. Commands
// come without a terminator, so:
// - a known word at the front is one command (the longest one that fits); while the
//   whole buffer could still grow into a longer known word ("v" -> "vux8052"), it waits;
// - a CR or LF ends whatever precedes it as one command (an empty one is dropped);
// - once the sender has been idle (idle == true), any leftover is one command.
// Consumed bytes are removed from buffer.
QList<QByteArray> takeTcpCommands(QByteArray& buffer, bool idle);

// How long a TCP leftover waits for more bytes before it counts as one command.
constexpr int tcpIdleMs = 50;
