#pragma once

#include <chrono>
#include <string>

// How much CPU time other processes took while the benchmark ran: the
// machine's busy time (from /proc/stat) minus this process's own and that of
// its reaped children (socat). Figures from a busy machine are not comparable.
class CpuAccount {
public:
    // Starts counting.
    CpuAccount();
    // One line for the notes, counting from construction until now.
    std::string summary() const;
    // CPU seconds used so far by this process and its reaped children.
    static double ownSeconds();

private:
    static double machineBusySeconds();  // negative when /proc/stat is unreadable

    std::chrono::steady_clock::time_point start_;
    double machineBusy_;
    double own_;
};
