#pragma once

#include "pattern.h"
#include "uniquefd.h"

#include <cstdint>
#include <string>

// The little protocol between a benchmark client and its sink, the same on
// every path: the client sends a 4-byte connection index; the sink answers
// ReadyByte once the whole path stands, so that timing starts after set-up;
// then the workload's bytes flow; the sink ends each transfer it checked with
// IntactByte or DamagedByte.
namespace Transfer {

constexpr unsigned char ReadyByte = 'R';
constexpr unsigned char IntactByte = '+';
constexpr unsigned char DamagedByte = '-';

// Connects to 127.0.0.1:port, sends `index` and waits for the ready byte.
// Invalid on failure, with the reason in `problem`.
UniqueFd openSession(uint16_t port, uint32_t index, bool noDelay, std::string &problem);
// The sink's side: sets the socket up, reads the index, answers ready.
bool acceptSession(int descriptor, uint32_t &index, bool noDelay, std::string &problem);

// Sends `size` bytes of `pattern` from its start.
bool sendPattern(int descriptor, const Pattern &pattern, uint64_t size);
// Receives exactly `size` bytes and checks each against `pattern`; on false,
// `problem` says what went wrong.
bool receivePattern(int descriptor, const Pattern &pattern, uint64_t size, std::string &problem);
// Reads until the peer closes; false when anything more arrived or the
// stream failed.
bool receiveEnd(int descriptor, std::string &problem);

} // namespace Transfer
