#pragma once

// Tells the service manager (systemd, for a unit of Type=notify) where the
// program stands: ready once the service has started, stopping when it begins
// to stop. Outside systemd (no NOTIFY_SOCKET) every call does nothing.
// Stateless; callable from any thread.
class ServiceNotifier {
public:
    static void ready();
    static void stopping();
};
