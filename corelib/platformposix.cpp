#include "platformposix.h"

#include "exception.h"
#include "filesystem.h"
#include "stringutils.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <ifaddrs.h>
#include <malloc.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

std::string homeDirectory()
{
    if (const char *home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd *entry = getpwuid(getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return std::string();
}

std::string configDirectory()
{
    if (const char *config = std::getenv("XDG_CONFIG_HOME"); config && *config)
        return config;
    const std::string home = homeDirectory();
    return home.empty() ? std::string() : FileSystem::combine(home, ".config");
}

// The XDG state home: data of this machine that is not worth a backup. A
// relative value counts as none, as the XDG rules say.
std::string stateDirectory()
{
    if (const char *state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        return state;
    const std::string home = homeDirectory();
    return home.empty() ? std::string() : FileSystem::combine(home, ".local/state");
}

// The documents directory the user's XDG configuration names, with $HOME
// expanded; empty when it names none.
std::string xdgDocumentsDirectory()
{
    if (const char *documents = std::getenv("XDG_DOCUMENTS_DIR"); documents && *documents)
        return documents;
    const std::string config = configDirectory();
    if (config.empty())
        return std::string();
    std::ifstream dirs(FileSystem::combine(config, "user-dirs.dirs"));
    std::string line;
    while (std::getline(dirs, line)) {
        const std::string key = "XDG_DOCUMENTS_DIR=";
        if (line.compare(0, key.size(), key) != 0)
            continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.compare(0, 5, "$HOME") == 0)
            value = homeDirectory() + value.substr(5);
        if (!value.empty() && value.front() == '/')
            return value;
    }
    return std::string();
}

} // namespace

bool PlatformPosix::initialize()
{
    std::signal(SIGPIPE, SIG_IGN);
    // Every printer holds a status and a session connection and every tunnel
    // two more: take all the descriptors the system allows this process.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    // Sessions, polls and tunnels each run on a thread of their own, and
    // they come and go all day. glibc would give those threads up to eight
    // malloc arenas per core; the long-lived objects that short-lived
    // threads leave in them pin their pages, and resident memory then
    // creeps up with every session that flaps. The bridge allocates little
    // (each thread's cache serves most of it), so one arena costs nothing.
    // Blocks of 32 KiB and more (directory listings, tunnel buffers) are
    // short-lived: mapped on their own, they go back to the system when
    // freed instead of leaving holes that small objects then keep resident.
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, 32 * 1024);
    return true;
}

int PlatformPosix::errorClassOf(int errorNumber, int source)
{
    if (errorNumber == 0)
        return NoError;
    if (source != 1)
        return GeneralError;
    if (errorNumber == EAGAIN || errorNumber == EWOULDBLOCK || errorNumber == ETIMEDOUT)
        return TimedOut;
    if (errorNumber == EINPROGRESS || errorNumber == EINTR)
        return Pending;
    return GeneralError;
}

std::string PlatformPosix::errorText(int errorNumber)
{
    char scratch[256] = {};
    const char *text = strerror_r(errorNumber, scratch, sizeof scratch);
    std::string message = text ? text : "";
    if (message.empty() || message.compare(0, 13, "Unknown error") == 0)
        return std::string();
    return formatString("#%d (%s)", errorNumber, message.c_str());
}

int PlatformPosix::getErrorCode(int source)
{
    return errorClassOf(errno, source);
}

int PlatformPosix::getErrorID(int)
{
    return errno;
}

std::string PlatformPosix::getErrorString(int)
{
    return errorText(errno);
}

std::string PlatformPosix::getSpecialFolder(int folder)
{
    std::string path;
    switch (folder) {
    case ApplicationData:
        path = configDirectory();
        break;
    case Documents:
        path = xdgDocumentsDirectory();
        if (path.empty()) {
            const std::string home = homeDirectory();
            if (!home.empty())
                path = FileSystem::combine(home, "Documents");
        }
        break;
    case LocalApplicationData:
        path = stateDirectory();
        break;
    default:
        THROW_EXCEPTION(formatString("unsupported special folder type '%d'", folder));
    }
    return FileSystem::normalizePath(path, true);
}

void PlatformPosix::debugOutput(const std::string &, const char *, int)
{
    // No debugger output channel on this platform.
}

void PlatformPosix::sleep(unsigned milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void PlatformPosix::setThreadName(const std::string &name, std::thread *thread)
{
    const pthread_t target = thread ? thread->native_handle() : pthread_self();
    pthread_setname_np(target, name.substr(0, 15).c_str());
}

std::string PlatformPosix::getPlatformName()
{
    utsname system{};
    if (uname(&system) != 0)
        return "Unknown (unknown)";
    return std::string(system.sysname) + " (" + system.machine + ")";
}

int PlatformPosix::getProcessId()
{
    return static_cast<int>(getpid());
}

std::vector<IPlatform::Interface> PlatformPosix::getBroadcastInterfaces()
{
    std::vector<Interface> result;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return result;
    for (const ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        const unsigned flags = entry->ifa_flags;
        if (!(flags & IFF_UP) || !(flags & IFF_BROADCAST) || (flags & IFF_LOOPBACK))
            continue;
        Interface item;
        item.address = ntohl(reinterpret_cast<const sockaddr_in *>(entry->ifa_addr)->sin_addr.s_addr);
        item.broadcast = 0xffffffffu;
        item.index = if_nametoindex(entry->ifa_name);
        item.name = entry->ifa_name;
        result.push_back(item);
    }
    freeifaddrs(list);
    return result;
}

std::vector<IPlatform::Process> PlatformPosix::listProcesses()
{
    std::vector<Process> result;
    DIR *proc = opendir("/proc");
    if (!proc)
        return result;
    const int self = static_cast<int>(getpid());
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long id = std::strtol(entry->d_name, &end, 10);
        if (*entry->d_name == '\0' || *end != '\0' || id <= 0 || id == self)
            continue;
        char image[4096];
        const std::string link = formatString("/proc/%ld/exe", id);
        const ssize_t length = readlink(link.c_str(), image, sizeof image - 1);
        if (length <= 0)
            continue;
        std::string path(image, static_cast<size_t>(length));
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
            path.resize(path.size() - deleted.size());
        result.push_back({static_cast<int>(id), path});
    }
    closedir(proc);
    return result;
}

bool PlatformPosix::terminateProcess(int id)
{
    if (id <= 0 || id == static_cast<int>(getpid()))
        return false;
    return ::kill(id, SIGKILL) == 0;
}

bool PlatformPosix::processExists(int id)
{
    return id > 0 && (::kill(id, 0) == 0 || errno != ESRCH);
}

std::string PlatformPosix::getUserName()
{
    const long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd *found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        return found->pw_name;
    return std::string();
}

bool PlatformPosix::waitForProcessEnd(int id, unsigned milliseconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        // A process that has ended but not yet been reaped counts as ended.
        std::ifstream stat(formatString("/proc/%d/stat", id));
        std::string line;
        if (!std::getline(stat, line))
            return true;
        const size_t close = line.rfind(')');
        const char state = close != std::string::npos && close + 2 < line.size() ? line[close + 2] : 'X';
        if (state == 'Z' || state == 'X')
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void PlatformPosix::releaseFreeMemory()
{
    // Also returns free pages in the middle of the heap, which a busy moment
    // left resident below objects that still live above them.
    malloc_trim(0);
}
