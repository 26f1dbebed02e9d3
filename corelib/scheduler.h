#pragma once

#include "object.h"

#include <condition_variable>
#include <memory>
#include <mutex>

// An interruptible sleep for loops that must wake at once when told to stop.
// Armed, wait() sleeps up to its period; cancel() wakes every sleeper and
// disarms it, so that later waits return at once until reset() arms it again.
// Thread-safe: all operations may run on any thread; one mutex guards the
// condition variable.
class Scheduler : public Object {
public:
    Scheduler();
    ~Scheduler() override;

    Scheduler(const Scheduler &) = delete;
    Scheduler &operator=(const Scheduler &) = delete;

    void reset();
    void cancel();
    bool isActive() const;
    // Sleeps at most `milliseconds`; true when woken early (a cancel, or a
    // spurious wake-up), false on time-out or when not armed.
    bool wait(unsigned milliseconds);

private:
    struct Block {
        std::mutex mutex;                                  // guards condition
        std::shared_ptr<std::condition_variable> condition;  // empty while cancelled
    };
    std::shared_ptr<Block> block_;
};
