#pragma once

#include "object.h"

#include <chrono>
#include <functional>

// Tells whether a period has run out since it was last reset. The period is
// measured on the monotonic clock, so that setting the wall clock (an NTP
// correction, a manual change) neither expires it early nor holds it back.
// An injected clock that goes back restarts the period instead of expiring
// it. No lock of its own: its owner serialises access.
class Timeout : public Object {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;
    // Where the current time comes from; tests pass a clock they control.
    using Clock = std::function<TimePoint()>;
    // The default clock: std::chrono::steady_clock::now.
    static TimePoint monotonicClock();

    explicit Timeout(Duration duration, Clock clock = monotonicClock);

    void reset();
    bool expired();

private:
    Clock clock_;
    TimePoint start_;
    TimePoint now_;
    Duration duration_;
};
