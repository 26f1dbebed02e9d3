#include "measurement.h"

#include <algorithm>
#include <utility>

namespace {

template <typename Field>
double medianOf(const std::vector<Measurement> &rounds, Field field)
{
    std::vector<double> values;
    for (const Measurement &round : rounds)
        values.push_back(round.*field);
    return medianOfValues(std::move(values));
}

} // namespace

double medianOfValues(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

Measurement combineRounds(const std::vector<Measurement> &rounds)
{
    Measurement result;
    if (rounds.empty())
        return result;
    result.ran = true;
    result.connections = rounds.front().connections;
    result.intactConnections = result.connections;
    for (const Measurement &round : rounds) {
        result.ran = result.ran && round.ran;
        result.setupFailed = result.setupFailed || round.setupFailed;
        result.damaged = result.damaged || round.damaged;
        result.stopFailed = result.stopFailed || round.stopFailed;
        if (result.problem.empty())
            result.problem = round.problem;
        result.intactConnections = std::min(result.intactConnections, round.intactConnections);
        result.seconds += round.seconds;
    }
    result.megabytesPerSecond = medianOf(rounds, &Measurement::megabytesPerSecond);
    result.medianMicroseconds = medianOf(rounds, &Measurement::medianMicroseconds);
    result.p99Microseconds = medianOf(rounds, &Measurement::p99Microseconds);
    result.setupMicroseconds = medianOf(rounds, &Measurement::setupMicroseconds);
    result.bytes = rounds.front().bytes;
    result.cpuSeconds = medianOf(rounds, &Measurement::cpuSeconds);
    return result;
}
