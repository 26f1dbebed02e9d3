#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

// Ends the process with status 1 when the run takes longer than it may: the
// benchmark stops by itself even if a path hangs in a way no time-out covers.
class Watchdog {
public:
    explicit Watchdog(unsigned seconds);
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

private:
    std::mutex mutex_;  // guards done_
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};
