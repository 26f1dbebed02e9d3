#pragma once

// The console program's stop request: Ctrl+C, or what else the platform uses
// to ask a console program to end (SIGTERM from a service manager on Linux;
// Ctrl+Break and closing the console window on Windows).
//
// Make one, on the main thread, before any other thread starts: on Linux it
// blocks the stop signals in every thread that starts later, so that no
// handler ever runs and a signal that comes during start-up is kept until
// wait() takes it. On Windows the system calls a console handler on a thread
// of its own; that handler only hands the request to wait(). When the console
// window is being closed, Windows ends the process once the handler returns,
// so the handler holds it until the StopSignal is destroyed (the service has
// stopped), for at most CloseGraceMilliseconds.
//
// One per process. wait() is called by the thread that made it.
class StopSignal {
public:
    // Windows gives a closing console's handler 5 s before it ends the process.
    static constexpr unsigned CloseGraceMilliseconds = 4500;

    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal &) = delete;
    StopSignal &operator=(const StopSignal &) = delete;

    // Returns once a stop has been asked for (at once if one came already).
    void wait();
};
