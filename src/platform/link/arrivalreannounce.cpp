#include "platform/link/arrivalreannounce.h"

#include "platform/base/heaptrim.h"

#include <QIODevice>
#include <QPointer>

void ArrivalReannounce::raise(QIODevice* device, const std::function<void(qint64)>& raiseEvent) {
    const qint64 waitingBefore = device->bytesAvailable();
    const std::uint64_t readBefore = read_;
    raiseEvent(waitingBefore);
    trimHeapAfterReceive(read_ - readBefore);
    if (queued_ || !current_(device))
        return;
    const qint64 arrived = device->bytesAvailable() + qint64(read_ - readBefore) - waitingBefore;
    if (arrived <= 0)
        return;
    queued_ = true;
    QMetaObject::invokeMethod(
        owner_,
        [this, guard = QPointer<QIODevice>(device)] {
            queued_ = false;
            if (guard && current_(guard.data()) && guard->bytesAvailable() > 0)
                announce_(guard.data());
        },
        Qt::QueuedConnection);
}
