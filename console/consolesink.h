#pragma once

#include "logmessage.h"

#include <memory>
#include <string>

// The console program's log output: one line per message,
// "[INFO] - 2026-Dec-07 01:12:00: Bridge service started", on standard
// output, or on standard error for ERROR and CRITICAL. Runs inside the log
// manager's lock, which keeps lines whole; it has no state of its own.
class ConsoleSink {
public:
    // The console name of a level ("INFO"); empty outside 0..5.
    static std::string levelName(int level);
    // The line for a message, without its line end.
    static std::string line(const LogMessage &message);
    // Writes the message's line to the stream its level belongs to.
    static void write(const std::shared_ptr<const LogMessage> &message);
};
