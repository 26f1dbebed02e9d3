#include "killoldbridge.h"

#include "filesystem.h"
#include "logmanager.h"
#include "platform.h"
#include "timeout.h"

#include <boost/algorithm/string/predicate.hpp>
#include <chrono>
#include <mutex>
#include <optional>

namespace {

constexpr std::chrono::minutes Period{15};
constexpr unsigned TerminateWaitMs = 5000;

// When the last pass began, on the monotonic clock; none before the first.
std::mutex lastRunMutex;
std::optional<Timeout::TimePoint> lastRun;

// The part after the last separator of a full image path; empty without one.
std::string fileName(const std::string &path)
{
    const size_t slash = path.rfind(FileSystem::Separator);
    return slash == std::string::npos ? std::string() : path.substr(slash + 1);
}

} // namespace

void killOldBridge()
{
    {
        const Timeout::TimePoint now = Timeout::monotonicClock();
        std::lock_guard<std::mutex> lock(lastRunMutex);
        if (lastRun && now - *lastRun < Period)
            return;
        lastRun = now;
    }
    removeOldBridges();
}

bool removeOldBridges(const std::string &imageName)
{
    IPlatform &platform = Platform::instance();
    bool failed = false;
    for (const IPlatform::Process &process : platform.listProcesses()) {
        if (!boost::algorithm::iequals(fileName(process.image), imageName))
            continue;
        if (!platform.terminateProcess(process.id) || !platform.waitForProcessEnd(process.id, TerminateWaitMs) ||
            !FileSystem::remove(process.image)) {
            failed = true;
            break;
        }
    }
    if (failed)
        ORVEL_LOG(Error, "Failed to remove old bridge version");
    return !failed;
}
