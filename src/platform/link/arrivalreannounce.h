#pragma once

#include <QtGlobal>

#include <cstdint>
#include <functional>
#include <utility>

class QIODevice;
class QObject;

// Announces what arrives on a device while the handler of its arrival event runs.
//
// A serial port or socket does not emit readyRead again while a handler of that signal
// runs. Bytes that arrive while the handler waits in a nested event loop (a message box,
// a timed wait) would then sit there unannounced. The control counts what its read hands
// out (read()); after each arrival event raise() compares what is waiting now with what
// was waiting before and what was read meanwhile, and when more has come it queues one
// more arrival event, at most one at a time. The queued event is dropped when the device
// has gone (closed, replaced, lost) or holds nothing by then.
class ArrivalReannounce {
public:
    // `current` tells whether a device is still the one whose arrivals the control
    // announces; `announce` raises the arrival event for it again.
    ArrivalReannounce(QObject* owner, std::function<bool(QIODevice*)> current,
                      std::function<void(QIODevice*)> announce)
        : owner_(owner), current_(std::move(current)), announce_(std::move(announce)) {}
    ArrivalReannounce(const ArrivalReannounce&) = delete;
    ArrivalReannounce& operator=(const ArrivalReannounce&) = delete;

    // Bytes the control's read handed to the program.
    void read(qint64 bytes) { read_ += std::uint64_t(bytes); }
    // True while an arrival event is queued for what came during a handler.
    bool queued() const { return queued_; }

    // Raises the arrival event for `device` through `raiseEvent(bytesWaiting)`, lets the
    // heap give back what a big read freed, then queues the follow-up when more arrived
    // while the event was handled. A device the handler
    // closes must stay allocated until raise() returns (EventKeepAlive sees to that).
    void raise(QIODevice* device, const std::function<void(qint64)>& raiseEvent);

private:
    QObject* owner_;
    std::function<bool(QIODevice*)> current_;
    std::function<void(QIODevice*)> announce_;
    std::uint64_t read_ = 0; // bytes handed out by the control's read, ever
    bool queued_ = false;
};
