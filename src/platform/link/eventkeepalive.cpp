#include "platform/link/eventkeepalive.h"

#include <QObject>

void EventKeepAlive::release(QObject* object) {
    if (!object)
        return;
    if (depth_ == 0) {
        delete object;
        return;
    }
    if (object->parent() != owner_)
        object->setParent(owner_);
    kept_.append(object);
}

void EventKeepAlive::leave() {
    if (--depth_ > 0)
        return;
    // The signal that led to the event may still be running in one of them: the event
    // loop deletes them once it is back at the top.
    const QList<QPointer<QObject>> kept = std::exchange(kept_, {});
    for (const QPointer<QObject>& object : kept) {
        if (object)
            object->deleteLater();
    }
}
