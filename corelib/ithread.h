#pragma once

#include "itask.h"

#include <memory>
#include <mutex>
#include <string>
#include <thread>

// An activity that owns one thread: the subclass supplies the body `onRun`,
// which loops while isRunning() is true. Owners stop it (the override first
// closes whatever the body blocks on, then calls IThread::stop) or join it
// before destroying it.
//
// Thread-safety: start, stop, join and isRunning may be called from any
// thread. mutex_ guards running_ and thread_ only and is never held across a
// join, so a body may call isRunning() while its owner is in stop().
class IThread : public ITask {
public:
    // `name` names the operating-system thread (cut to 15 characters).
    explicit IThread(const std::string &name);
    // Joins a thread still held (an owner that forgot to stop); a derived body
    // must not be running any more by then.
    ~IThread() override;

    IThread(const IThread &) = delete;
    IThread &operator=(const IThread &) = delete;

    // Starts the body on a new thread; false when it is already running or no
    // thread could be created. A finished but unjoined thread is joined first.
    bool start() override;
    // Clears the running flag, then joins the thread (if any).
    void stop() override;
    // Joins the thread without clearing the flag: waits for the body to end.
    void join();
    bool isRunning() const;

    const std::string &threadName() const { return name_; }

protected:
    virtual void onRun() = 0;

private:
    void threadEntry();
    std::shared_ptr<std::thread> takeThread();
    static void joinThread(const std::shared_ptr<std::thread> &thread);

    const std::string name_;
    mutable std::mutex mutex_;             // guards running_ and thread_
    bool running_ = false;
    std::shared_ptr<std::thread> thread_;  // empty while no thread exists
};
