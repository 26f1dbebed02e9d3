#include "timeout.h"

#include <boost/date_time/posix_time/posix_time.hpp>

boost::posix_time::ptime Timeout::localClock()
{
    return boost::posix_time::microsec_clock::local_time();
}

Timeout::Timeout(const boost::posix_time::time_duration &duration, Clock clock)
    : clock_(std::move(clock)), duration_(duration)
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
