#include "consolesink.h"

#include <iostream>

std::string ConsoleSink::levelName(int level)
{
    static const char *const names[] = {"DEBUG", "NOTICE", "INFO", "WARNING", "ERROR", "CRITICAL"};
    return level >= Debug && level <= Critical ? names[level] : "";
}

std::string ConsoleSink::line(const LogMessage &message)
{
    return "[" + levelName(message.level) + "] - " + message.timeText() + ": " + message.text;
}

void ConsoleSink::write(const std::shared_ptr<const LogMessage> &message)
{
    std::ostream &stream = message->level == Error || message->level == Critical ? std::cerr : std::cout;
    stream << line(*message) << std::endl;
}
