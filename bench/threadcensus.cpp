#include "threadcensus.h"

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <thread>

namespace ThreadCensus {

std::set<pid_t> current()
{
    std::set<pid_t> threads;
    DIR *tasks = ::opendir("/proc/self/task");
    if (!tasks)
        return threads;
    while (const dirent *entry = ::readdir(tasks)) {
        char *end = nullptr;
        const long id = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && id > 0)
            threads.insert(static_cast<pid_t>(id));
    }
    ::closedir(tasks);
    return threads;
}

size_t leftSince(const std::set<pid_t> &before, unsigned graceMs)
{
    const unsigned step = 10;
    for (unsigned waited = 0;; waited += step) {
        size_t left = 0;
        for (const pid_t id : current())
            left += before.count(id) == 0 ? 1 : 0;
        if (left == 0 || waited >= graceMs)
            return left;
        std::this_thread::sleep_for(std::chrono::milliseconds(step));
    }
}

} // namespace ThreadCensus
