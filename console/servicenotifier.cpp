#include "servicenotifier.h"

#include <algorithm>
#include <cstdint>
#include <systemd/sd-daemon.h>

void ServiceNotifier::ready()
{
    sd_notify(0, "READY=1");
}

void ServiceNotifier::stopping()
{
    sd_notify(0, "STOPPING=1");
}

void ServiceNotifier::alive()
{
    sd_notify(0, "WATCHDOG=1");
}

std::chrono::milliseconds ServiceNotifier::watchdogPeriod()
{
    uint64_t microseconds = 0;
    if (sd_watchdog_enabled(0, &microseconds) <= 0)
        return std::chrono::milliseconds(0);
    // At least 1 ms, so that a tiny time-out still counts as watched.
    return std::max(std::chrono::milliseconds(1),
                    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::microseconds(microseconds / 2)));
}
