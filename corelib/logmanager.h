#pragma once

#include "imanager.h"
#include "logmessage.h"
#include "singleton.h"

#include <boost/signals2/signal.hpp>
#include <memory>
#include <mutex>
#include <string>

// The process-wide log: stamps each message with the local time, drops it when
// it is below the minimum level, and hands it at once, on the calling thread,
// to every connected sink. There is no queue and no logging thread.
//
// Lock order: the manager's mutex is held while the sinks run; a sink may take
// its own mutex inside it, and must never log or wait for a thread that logs.
class LogManager : public Singleton<LogManager>, public IManager {
public:
    using Listener = void(std::shared_ptr<const LogMessage>);

    bool initialize() override { return true; }
    void finalize() override {}

    // Delivers one message to every sink unless it is filtered out.
    void log(const std::string &text, int level, const std::string &file, int line,
             const std::string &function);

    // Sets the minimum level; a value outside 0..5 sets the default (Info).
    void setLevel(int level);
    int level() const;

    // Ends a sink's connection once no delivery is in progress, so that the
    // sink's owner may be destroyed right afterwards.
    void disconnect(boost::signals2::connection &connection);

    // Sinks connect here; a connection stays until its owner disconnects it.
    boost::signals2::signal<Listener> onMessage;

protected:
    LogManager() = default;

private:
    mutable std::mutex mutex_;  // guards the fields below; held while sinks run
    bool enabled_ = true;
    int minimumLevel_ = Info;
};

// The one way to log: passes the text, the level, the source position and the
// enclosing function's full signature.
#define ORVEL_LOG(level, text) \
    LogManager::instance().log((text), (level), __FILE__, __LINE__, __PRETTY_FUNCTION__)
