#include "logmanager.h"

#include "stringutils.h"

#include <boost/date_time/posix_time/posix_time.hpp>

void LogManager::log(const std::string &text, int level, const std::string &file, int line,
                     const std::string &function)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!enabled_ || level < minimumLevel_)
        return;
    // Texts carry names and values from devices the bridge does not control:
    // a line end or an escape sequence in them must not forge a line or reach
    // the terminal.
    auto message = std::make_shared<const LogMessage>(
        escapeText(text), level, boost::posix_time::microsec_clock::local_time(), function, file, line);
    onMessage(message);
}

void LogManager::setLevel(int level)
{
    std::lock_guard<std::mutex> lock(mutex_);
    minimumLevel_ = static_cast<unsigned>(level) <= Critical ? level : Info;
}

int LogManager::level() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return minimumLevel_;
}

void LogManager::disconnect(boost::signals2::connection &connection)
{
    std::lock_guard<std::mutex> lock(mutex_);
    connection.disconnect();
}
