#pragma once

#include <QList>
#include <QPointer>

class QObject;

// Keeps a device object alive while an event raised from one of its own signals is being
// handled.
//
// A control raises its event from inside a signal of the device it wraps (a serial port's
// readyRead, a socket's readyRead). The handler may close the port or drop the socket,
// and then that very object is still on the stack below it: deleting it at once would
// pull it from under its own signal. While a Raising scope lives, release() therefore
// keeps the object (as a child of the owner, so that it goes with the owner at the
// latest); once the outermost scope ends, the objects kept are deleted through the event
// loop. Outside any scope release() deletes at once.
class EventKeepAlive {
public:
    explicit EventKeepAlive(QObject* owner) : owner_(owner) {}
    EventKeepAlive(const EventKeepAlive&) = delete;
    EventKeepAlive& operator=(const EventKeepAlive&) = delete;

    // One event being raised; scopes nest (a handler may run a nested event loop).
    class Raising {
    public:
        explicit Raising(EventKeepAlive& keep) : keep_(keep) { ++keep_.depth_; }
        ~Raising() { keep_.leave(); }
        Raising(const Raising&) = delete;
        Raising& operator=(const Raising&) = delete;

    private:
        EventKeepAlive& keep_;
    };

    // Lets `object` go: deleted now, or after the outermost event being raised.
    void release(QObject* object);

private:
    void leave();

    QObject* owner_;
    int depth_ = 0;
    QList<QPointer<QObject>> kept_;
};
