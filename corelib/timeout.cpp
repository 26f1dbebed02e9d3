#include "timeout.h"

Timeout::TimePoint Timeout::monotonicClock()
{
    return std::chrono::steady_clock::now();
}

Timeout::Timeout(Duration duration, Clock clock) : clock_(std::move(clock)), duration_(duration)
{
    reset();
}

void Timeout::reset()
{
    start_ = now_ = clock_();
}

bool Timeout::expired()
{
    now_ = clock_();
    if (now_ < start_)
        start_ = now_;
    return start_ + duration_ < now_;
}
