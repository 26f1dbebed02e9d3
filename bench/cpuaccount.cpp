#include "cpuaccount.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

CpuAccount::CpuAccount()
    : start_(std::chrono::steady_clock::now()), machineBusy_(machineBusySeconds()), own_(ownSeconds())
{
}

double CpuAccount::machineBusySeconds()
{
    std::ifstream stat("/proc/stat");
    std::string line;
    if (!std::getline(stat, line) || line.compare(0, 4, "cpu ") != 0)
        return -1;
    std::istringstream fields(line.substr(4));
    // user nice system idle iowait irq softirq steal. Interrupt and softirq
    // time are left out: the loopback stack runs much of its work there, and
    // the kernel does not count it to the process it serves.
    unsigned long long value[8] = {};
    for (unsigned long long &field : value)
        fields >> field;
    const unsigned long long busy = value[0] + value[1] + value[2] + value[7];
    return static_cast<double>(busy) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double CpuAccount::ownSeconds()
{
    auto seconds = [](const rusage &usage) {
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    rusage self{};
    rusage children{};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    return seconds(self) + seconds(children);
}

std::string CpuAccount::summary() const
{
    const double machineNow = machineBusySeconds();
    if (machineBusy_ < 0 || machineNow < 0)
        return "CPU use of other processes unknown (/proc/stat unreadable).";
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double available = wall * static_cast<double>(::sysconf(_SC_NPROCESSORS_ONLN));
    double others = (machineNow - machineBusy_) - (ownSeconds() - own_);
    if (others < 0)
        others = 0;  // the two clocks tick at different granularities
    char text[256];
    std::snprintf(text, sizeof text,
                  "Other processes used about %.1f CPU-s of the %.1f CPU-s the run lasted (%.0f%%)%s", others,
                  available, available > 0 ? 100 * others / available : 0,
                  others > 0.1 * available ? "; the figures are disturbed, run again on a quiet machine." : ".");
    return text;
}
