#include "ithread.h"

#include "logmanager.h"
#include "platform.h"
#include "stringutils.h"

#include <system_error>

IThread::IThread(const std::string &name) : name_(name) {}

IThread::~IThread()
{
    joinThread(takeThread());
}

bool IThread::start()
{
    std::shared_ptr<std::thread> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_)
            return false;
        running_ = true;
        finished = std::move(thread_);
    }
    joinThread(finished);

    try {
        auto thread = std::make_shared<std::thread>(&IThread::threadEntry, this);
        std::lock_guard<std::mutex> lock(mutex_);
        thread_ = std::move(thread);
        return true;
    } catch (const std::system_error &error) {
        ORVEL_LOG(Error, formatString("Cannot start thread '%s': %s", name_.c_str(), error.what()));
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        return false;
    }
}

void IThread::stop()
{
    std::shared_ptr<std::thread> thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        thread = std::move(thread_);
    }
    joinThread(thread);
}

void IThread::join()
{
    joinThread(takeThread());
}

bool IThread::isRunning() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

std::shared_ptr<std::thread> IThread::takeThread()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(thread_);
}

void IThread::joinThread(const std::shared_ptr<std::thread> &thread)
{
    if (!thread || !thread->joinable())
        return;
    if (thread->get_id() == std::this_thread::get_id())
        thread->detach();  // a body that stops itself cannot wait for itself
    else
        thread->join();
}

void IThread::threadEntry()
{
    if (!name_.empty())
        Platform::instance().setThreadName(name_, nullptr);
    try {
        onRun();
    } catch (const std::exception &error) {
        ORVEL_LOG(Error, formatString("Unhandled exception in thread '%s': %s", name_.c_str(), error.what()));
    } catch (...) {
        ORVEL_LOG(Error, formatString("Unhandled exception in thread '%s'", name_.c_str()));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
}
