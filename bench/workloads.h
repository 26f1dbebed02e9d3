#pragma once

#include "measurement.h"
#include "relay.h"
#include "sinkserver.h"

#include <chrono>
#include <cstdint>

// The four measurements, each run on one relay against a fresh sink. Every
// byte that travels is checked against its connection's pattern.
namespace Workloads {

using Clock = std::chrono::steady_clock;

// `bytes` from the client to the sink over one connection.
Measurement oneWay(Relay &relay, uint64_t bytes);
// `bytesEachWay` in each direction at once over one connection.
Measurement bothWays(Relay &relay, uint64_t bytesEachWay);
// 1-byte ping-pong: `warmUps` untimed round trips, then `count` timed ones.
Measurement roundTrips(Relay &relay, int warmUps, int count);
// `connections` connections at once, each moving `bytesEach` to the sink;
// also the mean time to set one connection up end to end, one after another.
Measurement concurrent(Relay &relay, int connections, uint64_t bytesEach);

// Starts the sink, then the relay towards it; on failure marks `result`.
bool startPath(SinkServer &sink, Relay &relay, int connections, Measurement &result);
// Waits for the sink's handlers (they end when their clients have closed),
// then stops the relay.
void stopPath(SinkServer &sink, Relay &relay);

double secondsBetween(Clock::time_point begin, Clock::time_point end);
double megabytesPerSecond(uint64_t bytes, double seconds);

} // namespace Workloads
