#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

// Counts the threads that still use an object, so that its owner can wait for
// them before the object goes: detached threads (a printer's thread after it
// removed itself, a server's per-connection clones) hold a Token while they
// may touch the object. Thread-safe; State::mutex guards the count.
class ActivityCounter {
    struct State {
        std::mutex mutex;
        std::condition_variable idle;
        int count = 0;
    };

public:
    // One unit of activity, held for as long as it lives. Copies count again.
    class Token {
    public:
        Token() = default;
        Token(const Token &other) : Token(other.state_) {}
        Token(Token &&other) noexcept : state_(std::move(other.state_)) {}
        Token &operator=(Token other) noexcept
        {
            std::swap(state_, other.state_);
            return *this;
        }
        ~Token() { release(); }

        void release()
        {
            const std::shared_ptr<State> state = std::move(state_);
            if (!state)
                return;
            std::lock_guard<std::mutex> lock(state->mutex);
            if (--state->count == 0)
                state->idle.notify_all();
        }

    private:
        friend class ActivityCounter;
        explicit Token(std::shared_ptr<State> state) : state_(std::move(state))
        {
            if (state_) {
                std::lock_guard<std::mutex> lock(state_->mutex);
                ++state_->count;
            }
        }
        std::shared_ptr<State> state_;
    };

    Token acquire() { return Token(state_); }

    // Blocks until no Token is held any more.
    void waitIdle()
    {
        std::unique_lock<std::mutex> lock(state_->mutex);
        state_->idle.wait(lock, [this] { return state_->count == 0; });
    }

    int count() const
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->count;
    }

private:
    std::shared_ptr<State> state_ = std::make_shared<State>();
};
