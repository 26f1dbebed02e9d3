#pragma once

#include "object.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <string>

// Severity of a log message; higher is more severe. Values outside the table
// are delivered all the same and labelled as unknown.
enum LogLevel { Debug = 0, Notice = 1, Info = 2, Warning = 3, Error = 4, Critical = 5 };

// One log record, made by LogManager::log and shared read-only by every sink.
class LogMessage : public Object {
public:
    LogMessage(const std::string &text, int level, const boost::posix_time::ptime &time,
               const std::string &function, const std::string &file, int line);

    // The time cut to whole seconds (never rounded), in the simple form of
    // Boost.Date_Time: "2024-Jan-05 13:45:12". Every log output uses it.
    std::string timeText() const;

    // The log file's label of a level, "[info]"; "[unknown]" outside 0..5.
    static std::string levelLabel(int level);

    // The line the log file gets for this record (without the line end):
    // time, label, optional "[tag] ", text, and " [function]" when known.
    std::string fileLine() const;

    std::string tag;  // empty unless a caller sets one
    std::string text;
    int level;
    boost::posix_time::ptime time;  // local time, microsecond resolution
    std::string function;           // the caller's full signature
    std::string file;
    int line;
};
