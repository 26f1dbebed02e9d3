// The event report on stdout: one line per event, parsed by tests.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

// Writes "<seconds since start, 3 decimals> <event>[ key=value]..." lines to
// stdout and flushes each at once. Shared by every thread of the program;
// mutex_ serialises the writes so that lines never interleave.
class Report {
public:
    using Clock = std::chrono::steady_clock;

    Report();

    // Writes one line: the time stamp, a blank, then text (event and fields).
    void event(const std::string& text);

    // The moment the program started (when the Report was made).
    Clock::time_point start() const { return start_; }

    // " key=value" with the value escaped by escape().
    static std::string field(const std::string& key, const std::string& value);
    static std::string field(const std::string& key, long long value);

    // Makes a value safe for a blank-separated line: blanks, backslashes
    // and bytes outside printable ASCII become \xNN.
    static std::string escape(const std::string& value);

private:
    const Clock::time_point start_;
    std::mutex mutex_;  // guards writes to stdout
};
