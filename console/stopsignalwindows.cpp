#include "stopsignal.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <windows.h>

namespace {

// Shared between the system's handler thread and the program's main thread.
struct StopState {
    std::mutex mutex;
    std::condition_variable changed;
    bool requested = false;  // guarded by mutex
    bool finished = false;   // guarded by mutex: the StopSignal is gone
};

StopState &state()
{
    static StopState instance;
    return instance;
}

BOOL WINAPI onConsoleEvent(DWORD event)
{
    StopState &stop = state();
    std::unique_lock<std::mutex> lock(stop.mutex);
    stop.requested = true;
    stop.changed.notify_all();
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The process ends when this returns: let the service stop first.
        stop.changed.wait_for(lock, std::chrono::milliseconds(StopSignal::CloseGraceMilliseconds),
                              [&stop] { return stop.finished; });
    }
    return TRUE;
}

} // namespace

StopSignal::StopSignal()
{
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

StopSignal::~StopSignal()
{
    StopState &stop = state();
    std::lock_guard<std::mutex> lock(stop.mutex);
    stop.finished = true;
    stop.changed.notify_all();
}

void StopSignal::wait()
{
    StopState &stop = state();
    std::unique_lock<std::mutex> lock(stop.mutex);
    stop.changed.wait(lock, [&stop] { return stop.requested; });
}
