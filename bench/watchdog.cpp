#include "watchdog.h"

#include <chrono>
#include <cstdio>
#include <unistd.h>

Watchdog::Watchdog(unsigned seconds)
{
    thread_ = std::thread([this, seconds] {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; }))
            return;
        std::fprintf(stderr, "relay-bench: the run took longer than %u s; giving up\n", seconds);
        std::fflush(stdout);
        ::_exit(1);
    });
}

Watchdog::~Watchdog()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    thread_.join();
}
