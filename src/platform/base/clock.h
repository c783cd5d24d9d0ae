#pragma once

#include <cstdint>

// The wall clock, in whole seconds. Tests replace it with a clock they set.
class Clock {
public:
    virtual ~Clock() = default;
    // The current date and time as whole seconds since an epoch.
    virtual std::int64_t nowSeconds() const = 0;
};

class SystemClock : public Clock {
public:
    std::int64_t nowSeconds() const override;
};
