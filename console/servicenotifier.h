#pragma once

#include <chrono>

// Tells the service manager (systemd, for a unit of Type=notify) where the
// program stands: ready once the service has started, alive while its loop
// makes progress (for the unit's watchdog), stopping when it begins to stop.
// Outside systemd (no NOTIFY_SOCKET) every call does nothing. Stateless;
// callable from any thread.
class ServiceNotifier {
public:
    static void ready();
    static void stopping();
    // A sign of life for the watchdog (WATCHDOG=1).
    static void alive();
    // How often the manager wants a sign of life: half the watchdog time-out
    // that it gave this process (WATCHDOG_USEC, and WATCHDOG_PID when set);
    // zero when nothing watches it.
    static std::chrono::milliseconds watchdogPeriod();
};
