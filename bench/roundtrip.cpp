#include "loopback.h"
#include "sinkresults.h"
#include "transfer.h"
#include "workloads.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace Workloads {

namespace {

// The value at fraction `q` (0..1) of sorted samples: the nearest-rank definition.
double percentile(const std::vector<double> &sorted, double q)
{
    if (sorted.empty())
        return 0;
    const size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

unsigned char pingValue(int round)
{
    return static_cast<unsigned char>(round * 37 + 11);
}

} // namespace

Measurement roundTrips(Relay &relay, int warmUps, int count)
{
    Measurement result;
    SinkResults sinkResults(1);

    // The sink echoes whatever arrives until its client closes.
    SinkServer sink([&](UniqueFd connection) {
        std::string problem;
        uint32_t index = 0;
        if (!Transfer::acceptSession(connection.get(), index, true, problem) || !sinkResults.claim(index)) {
            sinkResults.recordStray(problem.empty() ? "unexpected connection index" : problem);
            return;
        }
        unsigned char buffer[4096];
        for (;;) {
            const ssize_t received = Loopback::receiveSome(connection.get(), buffer, sizeof buffer);
            if (received == 0)
                break;
            if (received < 0 || !Loopback::sendAll(connection.get(), buffer, static_cast<size_t>(received))) {
                sinkResults.record(index, false, "the echo failed or timed out");
                return;
            }
        }
        sinkResults.record(index, true, std::string());
    });
    if (!startPath(sink, relay, 1, result))
        return result;

    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(count));
    std::string problem;
    {
        UniqueFd client = Transfer::openSession(relay.port(), 0, true, problem);
        if (!client.isOpen()) {
            result.setupFailed = true;
            result.problem = problem;
        } else {
            for (int round = 0; round < warmUps + count; ++round) {
                const unsigned char ping = pingValue(round);
                unsigned char pong = 0;
                const Clock::time_point begin = Clock::now();
                if (!Loopback::sendAll(client.get(), &ping, 1) || !Loopback::receiveExact(client.get(), &pong, 1)) {
                    problem = "round trip " + std::to_string(round) + " failed or timed out";
                    break;
                }
                const Clock::time_point end = Clock::now();
                if (pong != ping) {
                    problem = "round trip " + std::to_string(round) + " came back with another byte";
                    break;
                }
                if (round >= warmUps)
                    samples.push_back(secondsBetween(begin, end) * 1e6);
            }
        }
    }
    stopPath(sink, relay);

    if (result.setupFailed)
        return result;
    const bool intact = problem.empty() && sinkResults.intact(0) && !sinkResults.anyStray();
    result.intactConnections = intact ? 1 : 0;
    if (!intact) {
        result.damaged = true;
        result.problem = problem.empty() ? sinkResults.firstProblem() : problem;
    }
    std::sort(samples.begin(), samples.end());
    result.medianMicroseconds = percentile(samples, 0.5);
    result.p99Microseconds = percentile(samples, 0.99);
    for (double sample : samples)
        result.seconds += sample / 1e6;
    return result;
}

} // namespace Workloads
