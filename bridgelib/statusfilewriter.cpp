#include "statusfilewriter.h"

#include "atomicfile.h"
#include "bridgeservice.h"
#include "filesystem.h"
#include "logmanager.h"
#include "platform.h"
#include "stringutils.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <utility>

int64_t StatusFileWriter::systemClock()
{
    return static_cast<int64_t>(std::time(nullptr));
}

StatusFileWriter::StatusFileWriter(BridgeService &service, std::string directory, Clock clock)
    : IThread("Status writer"), service_(service), directory_(std::move(directory)), clock_(std::move(clock))
{
}

StatusFileWriter::~StatusFileWriter()
{
    stop();
}

std::string StatusFileWriter::recordPath() const
{
    return FileSystem::combine(directory_, RecordFileName);
}

std::string StatusFileWriter::metricsPath() const
{
    return FileSystem::combine(directory_, MetricsFileName);
}

std::string StatusFileWriter::stateDirectory()
{
    if (const char *given = std::getenv("STATE_DIRECTORY"); given && *given) {
        const std::string list(given);
        const std::string first = list.substr(0, list.find(FileSystem::ListSeparator));
        if (FileSystem::isAbsolute(first))
            return first;
    }
    const std::string state = Platform::instance().getSpecialFolder(IPlatform::LocalApplicationData);
    return state.empty() ? std::string() : FileSystem::combine(state, FolderName);
}

bool StatusFileWriter::start()
{
    if (started_)
        return false;
    {
        std::lock_guard<std::mutex> lock(wake_->mutex);
        wake_->changed = true;  // the first write at once
        wake_->stopping = false;
    }
    connection_ = service_.statusChanged.connect([wake = wake_] {
        std::lock_guard<std::mutex> lock(wake->mutex);
        wake->changed = true;
        wake->condition.notify_one();
    });
    if (IThread::start()) {
        started_ = true;
        ORVEL_LOG(Info, formatString("Status files kept in '%s'", directory_.c_str()));
        return true;
    }
    connection_.disconnect();
    return false;
}

void StatusFileWriter::stop()
{
    connection_.disconnect();
    {
        std::lock_guard<std::mutex> lock(wake_->mutex);
        wake_->stopping = true;
        wake_->condition.notify_one();
    }
    IThread::stop();
    if (started_) {
        started_ = false;
        FileSystem::remove(recordPath());
        FileSystem::remove(metricsPath());
    }
}

void StatusFileWriter::onRun()
{
    auto lastWrite = std::chrono::steady_clock::now() - std::chrono::milliseconds(MinimumIntervalMs);
    for (;;) {
        bool changed = false;
        {
            std::unique_lock<std::mutex> lock(wake_->mutex);
            const auto refresh = lastWrite + refreshPeriod_;
            wake_->condition.wait_until(lock, refresh, [&] {
                return wake_->stopping || (wake_->changed && !failing_);
            });
            if (wake_->stopping)
                return;
            changed = wake_->changed;
            // Changes that follow closely are taken in by the same write.
            const auto earliest = lastWrite + std::chrono::milliseconds(MinimumIntervalMs);
            if (changed && std::chrono::steady_clock::now() < earliest &&
                wake_->condition.wait_until(lock, earliest, [&] { return wake_->stopping; }))
                return;
            wake_->changed = false;
        }
        lastWrite = std::chrono::steady_clock::now();
        bool written = false;
        try {
            written = writeFiles();
        } catch (const std::exception &error) {
            // The thread goes on: the next change or refresh tries again.
            ORVEL_LOG(Error, formatString("Cannot write the status files: %s", error.what()));
        }
        if (written && failing_)
            ORVEL_LOG(Info, formatString("Status files written again in '%s'", directory_.c_str()));
        failing_ = !written;
    }
}

bool StatusFileWriter::writeFiles()
{
    StatusRecord record;
    service_.getStatus(record);
    record.pid = static_cast<int64_t>(Platform::instance().getProcessId());
    record.written = clock_();
    if (directory_.empty()) {
        if (!failing_)
            ORVEL_LOG(Warning, "No folder for the status files (no home folder known)");
        return false;
    }
    if (!FileSystem::directoryExists(directory_) && !FileSystem::ensureDirectory(directory_))
        return false;
    // Not flushed to the disk: they are written again within a minute, and
    // a bridge that crashed has no status to show.
    for (const auto &[path, text] : {std::make_pair(metricsPath(), record.toMetrics()),
                                     std::make_pair(recordPath(), record.toJson())}) {
        if (!AtomicFile::replace(path, text, AtomicFile::Durability::Cached)) {
            ORVEL_LOG(Warning, formatString("Cannot write status file '%s'", path.c_str()));
            return false;
        }
    }
    return true;
}
