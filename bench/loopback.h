#pragma once

#include "uniquefd.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Plain POSIX socket calls of the benchmark's clients and sinks, always on
// 127.0.0.1. Every descriptor is close-on-exec, so that socat never inherits
// one; every send passes MSG_NOSIGNAL.
namespace Loopback {

constexpr uint32_t Address = 0x7f000001;  // 127.0.0.1, host order
// Longest single wait of a benchmark socket: a stuck path fails instead of hanging.
constexpr unsigned IoTimeoutMs = 30000;

// A TCP socket listening on 127.0.0.1:port (0: any free port); invalid on failure.
UniqueFd listenOn(uint16_t port, int backlog);
// A TCP connection to 127.0.0.1:port with the I/O time-outs set; invalid on failure.
UniqueFd connectTo(uint16_t port);
// The port a socket is bound to, 0 on failure.
uint16_t localPort(int descriptor);
// A port that was free on 127.0.0.1 a moment ago, 0 on failure.
uint16_t freePort();
// True when some socket listens on 127.0.0.1:port.
bool isListening(uint16_t port);

// Wakes every thread blocked on the socket (accept, recv, send) without
// closing it: its owner closes it once they are done.
void wake(int descriptor);
void setNoDelay(int descriptor);
void setTimeouts(int descriptor, unsigned milliseconds);

// Sends all bytes; false on a failure or time-out.
bool sendAll(int descriptor, const void *data, size_t size);
// One receive: the byte count, 0 at the end of the stream, -1 on a failure or time-out.
ssize_t receiveSome(int descriptor, void *buffer, size_t size);
// Receives exactly `size` bytes; false when the stream ended or failed first.
bool receiveExact(int descriptor, void *buffer, size_t size);

} // namespace Loopback
