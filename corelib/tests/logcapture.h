#pragma once

#include "logmanager.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Test helper: records every log message while it lives, at the level it is
// given (Debug by default), and restores the previous level afterwards.
class LogCapture {
public:
    explicit LogCapture(int level = Debug) : previousLevel_(LogManager::instance().level())
    {
        LogManager::instance().setLevel(level);
        connection_ = LogManager::instance().onMessage.connect([this](std::shared_ptr<const LogMessage> message) {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back(message);
            changed_.notify_all();
        });
    }

    ~LogCapture()
    {
        LogManager::instance().disconnect(connection_);
        LogManager::instance().setLevel(previousLevel_);
    }

    std::vector<std::shared_ptr<const LogMessage>> messages() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }

    // How many messages contain `text`.
    int count(const std::string &text) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const auto &message : messages_)
            n += message->text.find(text) != std::string::npos;
        return n;
    }

    bool contains(const std::string &text) const { return count(text) > 0; }

    // Waits until a message contains `text`; false when none came in time.
    bool waitFor(const std::string &text, int milliseconds = 5000) const
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
            for (const auto &message : messages_) {
                if (message->text.find(text) != std::string::npos)
                    return true;
            }
            return false;
        });
    }

    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.clear();
    }

private:
    int previousLevel_;
    boost::signals2::connection connection_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::shared_ptr<const LogMessage>> messages_;
};
