#include "sinkresults.h"

bool SinkResults::claim(uint32_t index)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= entries_.size() || entries_[index].claimed)
        return false;
    entries_[index].claimed = true;
    return true;
}

void SinkResults::record(uint32_t index, bool intact, const std::string &problem)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= entries_.size())
        return;
    entries_[index].recorded = true;
    entries_[index].intact = intact;
    if (!intact && firstProblem_.empty())
        firstProblem_ = "connection " + std::to_string(index) + ": " + problem;
}

void SinkResults::recordStray(const std::string &problem)
{
    std::lock_guard<std::mutex> lock(mutex_);
    stray_ = true;
    if (firstProblem_.empty())
        firstProblem_ = problem;
}

bool SinkResults::intact(uint32_t index) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return index < entries_.size() && entries_[index].recorded && entries_[index].intact;
}

std::string SinkResults::firstProblem() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return firstProblem_;
}

bool SinkResults::anyStray() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stray_;
}
