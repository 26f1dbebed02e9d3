#include "killoldbridge.h"

#include "filesystem.h"
#include "logmanager.h"
#include "platform.h"

#include <atomic>
#include <boost/algorithm/string/predicate.hpp>
#include <cstdint>

namespace {

constexpr uint32_t PeriodMs = 900000;
constexpr unsigned TerminateWaitMs = 5000;

std::atomic<uint32_t> lastRun{0};

// The part after the last separator of a full image path; empty without one.
std::string fileName(const std::string &path)
{
    const size_t slash = path.rfind(FileSystem::Separator);
    return slash == std::string::npos ? std::string() : path.substr(slash + 1);
}

} // namespace

void killOldBridge()
{
    const uint32_t now = Platform::instance().getTickCount();
    if (now - lastRun.load() < PeriodMs)
        return;
    lastRun = now;
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
