#include "workloads.h"

namespace Workloads {

bool startPath(SinkServer &sink, Relay &relay, int connections, Measurement &result)
{
    result.ran = true;
    result.connections = connections;
    std::string problem;
    if (!sink.start(problem)) {
        result.setupFailed = true;
        result.problem = "sink: " + problem;
        return false;
    }
    if (!relay.start(sink.port(), connections, problem)) {
        result.setupFailed = true;
        result.problem = relay.name() + ": " + problem;
        sink.stop();
        return false;
    }
    return true;
}

void stopPath(SinkServer &sink, Relay &relay)
{
    sink.stop();
    relay.stop();
}

double secondsBetween(Clock::time_point begin, Clock::time_point end)
{
    return std::chrono::duration<double>(end - begin).count();
}

double megabytesPerSecond(uint64_t bytes, double seconds)
{
    return seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0;
}

} // namespace Workloads
