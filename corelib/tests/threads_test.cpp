#include "ithread.h"
#include "logcapture.h"
#include "scheduler.h"
#include "timeout.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <type_traits>

using namespace std::chrono;

namespace {

// A body that sleeps on a scheduler until it is stopped, counting its passes.
class SleepyThread : public IThread {
public:
    SleepyThread() : IThread("class SleepyThread") {}
    void stop() override
    {
        scheduler.cancel();
        IThread::stop();
    }
    Scheduler scheduler;
    std::atomic<int> runs{0};

protected:
    void onRun() override
    {
        ++runs;
        while (isRunning())
            scheduler.wait(60000);
    }
};

// A body that ends by itself after one pass.
class OneShotThread : public IThread {
public:
    OneShotThread() : IThread("class OneShotThread") {}
    std::atomic<int> runs{0};

protected:
    void onRun() override { ++runs; }
};

class ThrowingThread : public IThread {
public:
    ThrowingThread() : IThread("class ThrowingThread") {}

protected:
    void onRun() override { throw std::runtime_error("boom"); }
};

template <typename Predicate>
bool eventually(Predicate predicate, milliseconds limit = milliseconds(5000))
{
    const auto deadline = steady_clock::now() + limit;
    while (!predicate()) {
        if (steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

} // namespace

TEST(IThread, SecondStartIsRefusedAndStopWakesTheSleeper)
{
    SleepyThread thread;
    ASSERT_TRUE(thread.start());
    EXPECT_FALSE(thread.start());
    ASSERT_TRUE(eventually([&] { return thread.runs == 1; }));
    EXPECT_TRUE(thread.isRunning());

    const auto begin = steady_clock::now();
    thread.stop();
    EXPECT_LT(steady_clock::now() - begin, milliseconds(2000)) << "stop waited for the 60-s sleep";
    EXPECT_FALSE(thread.isRunning());
    EXPECT_EQ(thread.runs, 1) << "a refused start made no second thread";
}

TEST(IThread, StopOfNeverStartedThreadReturnsAtOnce)
{
    SleepyThread thread;
    thread.stop();
    thread.join();
    EXPECT_FALSE(thread.isRunning());
}

TEST(IThread, BodyThatEndsByItselfCanBeStartedAgain)
{
    OneShotThread thread;
    ASSERT_TRUE(thread.start());
    ASSERT_TRUE(eventually([&] { return !thread.isRunning(); }));
    // Restarting without an intervening join must join the finished thread first.
    ASSERT_TRUE(thread.start());
    thread.join();
    EXPECT_EQ(thread.runs, 2);
    ASSERT_TRUE(thread.start());
    thread.stop();
    EXPECT_EQ(thread.runs, 3);
}

TEST(IThread, ExceptionInBodyIsLoggedAndDoesNotEndTheProcess)
{
    LogCapture capture;
    ThrowingThread thread;
    ASSERT_TRUE(thread.start());
    thread.join();
    EXPECT_FALSE(thread.isRunning());
    EXPECT_TRUE(capture.contains("boom"));
}

TEST(Scheduler, CancelWakesALongWaitAtOnce)
{
    Scheduler scheduler;
    EXPECT_TRUE(scheduler.isActive());
    std::atomic<bool> woken{false};
    std::atomic<bool> result{false};
    std::thread sleeper([&] {
        result = scheduler.wait(60000);
        woken = true;
    });
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_FALSE(woken);
    const auto begin = steady_clock::now();
    scheduler.cancel();
    sleeper.join();
    EXPECT_LT(steady_clock::now() - begin, milliseconds(1000));
    EXPECT_TRUE(result);
    EXPECT_FALSE(scheduler.isActive());
}

TEST(Scheduler, CancelledWaitsReturnAtOnceUntilReset)
{
    Scheduler scheduler;
    scheduler.cancel();
    const auto begin = steady_clock::now();
    EXPECT_FALSE(scheduler.wait(60000));
    EXPECT_FALSE(scheduler.wait(60000));
    EXPECT_LT(steady_clock::now() - begin, milliseconds(500));

    scheduler.reset();
    EXPECT_TRUE(scheduler.isActive());
    const auto again = steady_clock::now();
    EXPECT_FALSE(scheduler.wait(30)) << "an armed wait runs out";
    EXPECT_GE(steady_clock::now() - again, milliseconds(25));
}

TEST(Scheduler, AWakeEndsTheWaitItFindsOrTheNextOneAndKeepsItArmed)
{
    Scheduler scheduler;
    // A wake that comes before the wait is not lost.
    scheduler.wake();
    const auto begin = steady_clock::now();
    EXPECT_TRUE(scheduler.wait(60000));
    EXPECT_LT(steady_clock::now() - begin, milliseconds(30000));
    EXPECT_TRUE(scheduler.isActive());
    EXPECT_FALSE(scheduler.wait(20)) << "one wake ends one wait";

    std::atomic<bool> result{false};
    std::atomic<bool> woken{false};
    std::thread sleeper([&] {
        result = scheduler.wait(60000);
        woken = true;
    });
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_FALSE(woken);
    scheduler.wake();
    sleeper.join();
    EXPECT_TRUE(result);
    EXPECT_TRUE(scheduler.isActive()) << "a wake does not cancel";
}

TEST(Timeout, ExpiresAfterItsDurationAndRestartsWhenTheClockGoesBack)
{
    Timeout::TimePoint now = steady_clock::time_point() + hours(1000);
    Timeout::Clock clock = [&] { return now; };

    Timeout zero(seconds(0), clock);
    EXPECT_FALSE(zero.expired()) << "the clock has not moved yet";
    now += microseconds(1);
    EXPECT_TRUE(zero.expired());

    Timeout slave(seconds(180), clock);
    now += seconds(180);
    EXPECT_FALSE(slave.expired()) << "exactly the duration is not yet expired";
    now += seconds(1);
    EXPECT_TRUE(slave.expired());
    slave.reset();
    EXPECT_FALSE(slave.expired());

    now -= hours(1);
    EXPECT_FALSE(slave.expired()) << "a clock set back restarts the period";
    now += seconds(179);
    EXPECT_FALSE(slave.expired());
    now += seconds(2);
    EXPECT_TRUE(slave.expired());

    slave.reset();
    now += hours(2);
    EXPECT_TRUE(slave.expired()) << "a step forward is time that has passed";
}

// Intervals must not follow the wall clock, which NTP or a user may set at
// any moment. A unit test cannot step the machine's wall clock, so this
// holds the default clock to the monotonic one by its type and its readings.
TEST(Timeout, DefaultClockIsTheMonotonicOne)
{
    static_assert(std::is_same<std::invoke_result_t<Timeout::Clock>, steady_clock::time_point>::value,
                  "time-outs read the monotonic clock");
    static_assert(steady_clock::is_steady, "the monotonic clock never goes back");

    const steady_clock::time_point before = steady_clock::now();
    const Timeout::TimePoint reading = Timeout::monotonicClock();
    const steady_clock::time_point after = steady_clock::now();
    EXPECT_LE(before, reading);
    EXPECT_LE(reading, after);

    Timeout hour(hours(1));
    EXPECT_FALSE(hour.expired());
    Timeout zero(steady_clock::duration::zero());
    const steady_clock::time_point made = steady_clock::now();
    while (steady_clock::now() == made) {
    }
    EXPECT_TRUE(zero.expired()) << "the default clock moves on";
}
