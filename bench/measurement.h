#pragma once

#include <cstdint>
#include <string>

// The outcome of one workload on one relay.
struct Measurement {
    bool ran = false;          // false: not run (the relay is not available)
    bool setupFailed = false;  // the relay or a connection could not be set up
    bool damaged = false;      // bytes were lost, altered or added on the way
    bool stopFailed = false;   // the path left threads running after it stopped
    std::string problem;       // the first thing that went wrong, for the report

    double seconds = 0;             // the timed part
    double megabytesPerSecond = 0;  // throughput workloads; 1 MB = 10^6 bytes
    double medianMicroseconds = 0;  // round trips
    double p99Microseconds = 0;
    double setupMicroseconds = 0;   // connections at once: mean set-up of one connection
    uint64_t bytes = 0;             // throughput workloads: the bytes that travelled, all directions
    // CPU time of this process and its reaped children (socat) over the whole
    // measurement, set-up and stop included; the direct path's figure is the
    // clients' and sinks' own share.
    double cpuSeconds = 0;
    int connections = 0;
    int intactConnections = 0;

    // CPU seconds per GiB moved, or 0 when nothing was moved.
    double cpuSecondsPerGiB() const { return bytes ? cpuSeconds * double(1ULL << 30) / double(bytes) : 0; }

    bool succeeded() const { return ran && !setupFailed && !damaged && !stopFailed; }
};

#include <vector>

// One measurement from the rounds of a workload on one path: each figure is
// the median over the rounds; a failure or damage in any round is kept, with
// the first problem, and the intact count is that of the worst round.
Measurement combineRounds(const std::vector<Measurement> &rounds);

// The median of the values (the mean of the middle two for an even count);
// 0 for none.
double medianOfValues(std::vector<double> values);
