#include "platform/base/clock.h"

#include <QDateTime>

std::int64_t SystemClock::nowSeconds() const {
    return QDateTime::currentSecsSinceEpoch();
}
