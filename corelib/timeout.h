#pragma once

#include "object.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <functional>

// Tells whether a period has run out since it was last reset, by the local
// wall clock. A clock set back restarts the period instead of expiring it.
// No lock of its own: its owner serialises access.
class Timeout : public Object {
public:
    // Where the current time comes from; tests pass a clock they control.
    using Clock = std::function<boost::posix_time::ptime()>;
    static boost::posix_time::ptime localClock();

    explicit Timeout(const boost::posix_time::time_duration &duration, Clock clock = localClock);

    void reset();
    bool expired();

private:
    Clock clock_;
    boost::posix_time::ptime start_;
    boost::posix_time::ptime now_;
    boost::posix_time::time_duration duration_;
};
