#pragma once

#include "object.h"

#include <condition_variable>
#include <memory>
#include <mutex>

// An interruptible sleep for loops that must wake at once when told to stop.
// Armed, wait() sleeps up to its period; cancel() wakes every sleeper and
// disarms it, so that later waits return at once until reset() arms it again.
// wake() ends the current wait, or the next one when nobody waits yet, and
// leaves the scheduler armed: a loop told that there is work does not sleep
// through it.
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
    void wake();
    bool isActive() const;
    // Sleeps at most `milliseconds`; true when woken early (a cancel or a
    // wake), false on time-out or when not armed.
    bool wait(unsigned milliseconds);

private:
    struct Block {
        std::mutex mutex;                                  // guards the fields below
        std::shared_ptr<std::condition_variable> condition;  // empty while cancelled
        bool woken = false;                                // a wake not yet taken by a wait
    };
    std::shared_ptr<Block> block_;
};
