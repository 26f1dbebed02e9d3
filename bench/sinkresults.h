#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// What the sink's handlers found, one entry per connection index; shared by
// the handler threads. An index outside the range or seen twice counts as
// damage: it means connections were mixed up on the way.
class SinkResults {
public:
    explicit SinkResults(int connections) : entries_(static_cast<size_t>(connections)) {}

    // Claims `index` for one connection; false when it is out of range or taken.
    bool claim(uint32_t index);
    void record(uint32_t index, bool intact, const std::string &problem);
    // A failure that belongs to no valid index.
    void recordStray(const std::string &problem);

    bool intact(uint32_t index) const;
    // The first problem recorded, or empty.
    std::string firstProblem() const;
    bool anyStray() const;

private:
    struct Entry {
        bool claimed = false;
        bool recorded = false;
        bool intact = false;
    };

    mutable std::mutex mutex_;  // guards everything below
    std::vector<Entry> entries_;
    std::string firstProblem_;
    bool stray_ = false;
};
