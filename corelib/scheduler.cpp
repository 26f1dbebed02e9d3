#include "scheduler.h"

#include <chrono>

Scheduler::Scheduler() : block_(std::make_shared<Block>())
{
    reset();
}

Scheduler::~Scheduler()
{
    cancel();
}

void Scheduler::reset()
{
    std::lock_guard<std::mutex> lock(block_->mutex);
    if (!block_->condition)
        block_->condition = std::make_shared<std::condition_variable>();
}

void Scheduler::cancel()
{
    std::lock_guard<std::mutex> lock(block_->mutex);
    if (block_->condition) {
        block_->condition->notify_all();
        block_->condition.reset();
    }
}

void Scheduler::wake()
{
    std::lock_guard<std::mutex> lock(block_->mutex);
    block_->woken = true;
    if (block_->condition)
        block_->condition->notify_all();
}

bool Scheduler::isActive() const
{
    std::lock_guard<std::mutex> lock(block_->mutex);
    return static_cast<bool>(block_->condition);
}

bool Scheduler::wait(unsigned milliseconds)
{
    std::unique_lock<std::mutex> lock(block_->mutex);
    const std::shared_ptr<std::condition_variable> condition = block_->condition;
    if (!condition)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    const bool early = condition->wait_until(
        lock, deadline, [&] { return block_->woken || block_->condition != condition; });
    block_->woken = false;
    return early;
}
