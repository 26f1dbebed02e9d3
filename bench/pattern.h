#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The deterministic byte stream of one connection and direction: a
// pseudo-random block of a prime length, repeated without end. Because the
// length is prime, a lost, doubled or misplaced chunk of any power-of-two
// size (the relays move 8192-byte chunks) shifts everything after it and is
// seen; a stream of another connection has another seed and is seen too.
// Read-only after construction, so threads may share one.
class Pattern {
public:
    static constexpr size_t Period = 65521;

    explicit Pattern(uint64_t seed);

    // Period bytes of the stream, contiguous, starting at stream offset `offset`.
    const unsigned char *at(uint64_t offset) const { return bytes_.data() + offset % Period; }

    // True when `data` equals the stream from `offset` on.
    bool matches(uint64_t offset, const unsigned char *data, size_t size) const;

private:
    std::vector<unsigned char> bytes_;  // the block twice over
};
