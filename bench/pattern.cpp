#include "pattern.h"

#include <algorithm>
#include <cstring>

Pattern::Pattern(uint64_t seed) : bytes_(2 * Period)
{
    // splitmix64: well mixed even for neighbouring seeds.
    uint64_t state = seed;
    for (size_t i = 0; i < Period; ++i) {
        state += 0x9E3779B97F4A7C15ULL;
        uint64_t value = state;
        value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
        value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
        value ^= value >> 31;
        bytes_[i] = static_cast<unsigned char>(value >> 24);
    }
    std::copy(bytes_.begin(), bytes_.begin() + Period, bytes_.begin() + Period);
}

bool Pattern::matches(uint64_t offset, const unsigned char *data, size_t size) const
{
    while (size > 0) {
        const size_t part = std::min(size, Period);
        if (std::memcmp(at(offset), data, part) != 0)
            return false;
        offset += part;
        data += part;
        size -= part;
    }
    return true;
}
