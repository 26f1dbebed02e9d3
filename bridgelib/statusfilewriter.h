#pragma once

#include "ithread.h"
#include "statusrecord.h"

#include <boost/signals2/connection.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class BridgeService;

// Keeps the status record of a running bridge on disk: the record
// ("status.json") and its figures for the node exporter's textfile collector
// ("orvel-bridge.prom") in one folder, each replaced whole by AtomicFile, so
// that a reader sees the old file or the new one and never a part. They are
// written at start, shortly after every change the service announces with
// statusChanged, and at least every 60 s; stop removes them, since a stopped
// bridge has no status to show.
//
// Owned by the front end beside the BridgeService, which must outlive it;
// start after the service, stop (or destroy) before stopping the service.
// Its own thread takes the service's snapshot and writes the files, so the
// service's threads only set a flag: the statusChanged handler takes
// wake_->mutex, which guards the flags of Wake and nothing else, and is
// shared with the handler so that a late notification never reaches a
// writer that has gone. failing_ belongs to the writer's thread.
class StatusFileWriter : public IThread {
public:
    static constexpr const char *RecordFileName = "status.json";
    static constexpr const char *MetricsFileName = "orvel-bridge.prom";
    static constexpr const char *FolderName = "orvel-bridge";
    static constexpr unsigned RefreshSeconds = 60;
    // Changes that come closer together than this share one write.
    static constexpr unsigned MinimumIntervalMs = 250;

    // Seconds since 1970 UTC; tests pass a clock they control.
    using Clock = std::function<int64_t()>;
    static int64_t systemClock();

    StatusFileWriter(BridgeService &service, std::string directory, Clock clock = systemClock);
    ~StatusFileWriter() override;

    // Connects to the service's notification and starts the thread, which
    // writes the files at once; false when it runs already.
    bool start() override;
    // Ends the thread and removes the files.
    void stop() override;

    // The longest time between two writes (RefreshSeconds unless changed);
    // set it before start (tests shorten it).
    void setRefreshPeriod(std::chrono::milliseconds period) { refreshPeriod_ = period; }

    const std::string &directory() const { return directory_; }
    std::string recordPath() const;
    std::string metricsPath() const;

    // The folder of the status files: $STATE_DIRECTORY when the service
    // manager gives one (the first of several, separated as the system
    // separates path lists), else "orvel-bridge" in the user's local
    // application data ($XDG_STATE_HOME, else ~/.local/state, on Linux).
    // Relative values are ignored, as the XDG rules say. Empty when no home
    // folder is known either.
    static std::string stateDirectory();

protected:
    void onRun() override;

private:
    struct Wake {
        std::mutex mutex;  // guards the two flags
        std::condition_variable condition;
        bool changed = false;
        bool stopping = false;
    };

    // Takes the snapshot and writes both files; false when one failed.
    bool writeFiles();

    BridgeService &service_;
    const std::string directory_;
    const Clock clock_;
    const std::shared_ptr<Wake> wake_ = std::make_shared<Wake>();
    boost::signals2::scoped_connection connection_;  // while started
    bool failing_ = false;  // the last write failed: retried at the refresh only
    bool started_ = false;  // start succeeded and stop has not run yet (owner's thread)
    std::chrono::milliseconds refreshPeriod_ = std::chrono::seconds(RefreshSeconds);
};
