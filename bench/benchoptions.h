#pragma once

#include <cstdint>
#include <string>

// The benchmark's command line: the full sizes by default, small ones with
// --quick (a smoke run, also under sanitizers).
class BenchOptions {
public:
    // Reads the arguments; false with `error` set on an unknown one.
    bool parse(int argc, char **argv, std::string &error);
    static std::string usage(const char *program);

    bool help = false;
    bool quick = false;
    uint64_t oneWayBytes = 1ULL << 30;
    uint64_t bothWaysBytes = 512ULL << 20;  // in each direction
    int warmUps = 1000;
    int roundTrips = 20000;
    int connections = 200;
    uint64_t bytesPerConnection = 10ULL << 20;
    unsigned watchdogSeconds = 1800;  // the whole run, as a last resort
};
