#include "statusfilewriter.h"

#include "bridgeservice.h"
#include "filesystem.h"
#include "logmanager.h"
#include "stringutils.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <pwd.h>
#include <unistd.h>

namespace {

// An absolute path from the environment variable `name`, else "".
std::string absoluteVariable(const char *name)
{
    const char *value = std::getenv(name);
    return value && value[0] == '/' ? std::string(value) : std::string();
}

std::string homeDirectory()
{
    if (const std::string home = absoluteVariable("HOME"); !home.empty())
        return home;
    if (const passwd *entry = getpwuid(getuid()); entry && entry->pw_dir && entry->pw_dir[0] == '/')
        return entry->pw_dir;
    return std::string();
}

} // namespace

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
        const std::string first = std::string(given).substr(0, std::string(given).find(':'));
        if (!first.empty() && first[0] == '/')
            return first;
    }
    if (const std::string state = absoluteVariable("XDG_STATE_HOME"); !state.empty())
        return FileSystem::combine(state, FolderName);
    const std::string home = homeDirectory();
    return home.empty() ? std::string() : FileSystem::combine(home, std::string(".local/state/") + FolderName);
}

bool StatusFileWriter::replaceFile(const std::string &path, const std::string &text)
{
    const std::string temporary = formatString("%s.%d.tmp", path.c_str(), static_cast<int>(getpid()));
    bool written = false;
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (file) {
            file.write(text.data(), static_cast<std::streamsize>(text.size()));
            file.close();
            written = !file.fail();
        }
    }
    if (!written) {
        ORVEL_LOG(Warning, formatString("Cannot write status file '%s'", temporary.c_str()));
        FileSystem::remove(temporary);
        return false;
    }
    if (!FileSystem::rename(temporary, path)) {
        FileSystem::remove(temporary);
        return false;
    }
    return true;
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
    record.pid = static_cast<int64_t>(getpid());
    record.written = clock_();
    if (directory_.empty()) {
        if (!failing_)
            ORVEL_LOG(Warning, "No folder for the status files (no home folder known)");
        return false;
    }
    if (!FileSystem::directoryExists(directory_) && !FileSystem::ensureDirectory(directory_))
        return false;
    return replaceFile(metricsPath(), record.toMetrics()) && replaceFile(recordPath(), record.toJson());
}
