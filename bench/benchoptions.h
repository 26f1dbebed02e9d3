#pragma once

#include <cstdint>
#include <string>

// The benchmark's command line: the full sizes by default, small ones with
// --quick (a smoke run, also under sanitizers); a subset of workloads or
// paths for profiling one of them.
class BenchOptions {
public:
    // Reads the arguments; false with `error` set on a wrong one.
    bool parse(int argc, char **argv, std::string &error);
    static std::string usage(const char *program);

    // True when the workload (one-way, both-ways, round-trips, at-once) is to run.
    bool runsWorkload(const std::string &name) const { return only.empty() || only == name; }
    // True when the path (direct, tunnel, gateway, socat) is to be measured.
    bool runsRelay(const std::string &name) const { return relay.empty() || relay == name; }

    bool help = false;
    bool quick = false;
    int rounds = 7;  // each figure and ratio is the median of this many rounds
    std::string only;
    std::string relay;
    uint64_t oneWayBytes = 1ULL << 30;
    uint64_t bothWaysBytes = 512ULL << 20;  // in each direction
    int warmUps = 1000;
    int roundTrips = 20000;
    int connections = 200;
    uint64_t bytesPerConnection = 10ULL << 20;
    unsigned watchdogSeconds = 3600;  // the whole run, as a last resort
};
