#pragma once

#include <cstdint>

// Little-endian integer fields of the printer and server protocols: the one
// place where wire integers are packed and unpacked.
namespace LittleEndian {

inline uint16_t read16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t read32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t read64(const unsigned char *p)
{
    return static_cast<uint64_t>(read32(p)) | (static_cast<uint64_t>(read32(p + 4)) << 32);
}

inline void write16(unsigned char *p, uint16_t value)
{
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
}

inline void write32(unsigned char *p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline void write64(unsigned char *p, uint64_t value)
{
    write32(p, static_cast<uint32_t>(value));
    write32(p + 4, static_cast<uint32_t>(value >> 32));
}

} // namespace LittleEndian
