#include "logmessage.h"

#include <boost/date_time/posix_time/posix_time.hpp>

LogMessage::LogMessage(const std::string &text, int level, const boost::posix_time::ptime &time,
                       const std::string &function, const std::string &file, int line)
    : text(text), level(level), time(time), function(function), file(file), line(line)
{
}

std::string LogMessage::timeText() const
{
    if (time.is_special())
        return boost::posix_time::to_simple_string(time);
    const auto &day = time.time_of_day();
    const boost::posix_time::ptime whole(
        time.date(), boost::posix_time::time_duration(day.hours(), day.minutes(), day.seconds()));
    return boost::posix_time::to_simple_string(whole);
}

std::string LogMessage::levelLabel(int level)
{
    static const char *const labels[] = {"[debug]", "[notice]", "[info]", "[warning]", "[error]", "[critical]"};
    if (level < Debug || level > Critical)
        return "[unknown]";
    return labels[level];
}

std::string LogMessage::fileLine() const
{
    std::string out = timeText() + " " + levelLabel(level) + " ";
    if (!tag.empty())
        out += "[" + tag + "] ";
    out += text;
    if (!function.empty())
        out += " [" + function + "]";
    return out;
}
