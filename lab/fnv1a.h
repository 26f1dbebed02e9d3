// The 32-bit FNV-1a hash, by which report lines name byte streams that are
// too long to print (backups, password files, tunnelled answers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

class Fnv1a {
public:
    void update(const void* data, std::size_t n)
    {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < n; ++i)
            hash_ = (hash_ ^ p[i]) * 16777619u;
    }

    std::uint32_t value() const { return hash_; }

    // Eight lower-case hex digits.
    std::string text() const
    {
        char text[16];
        std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(hash_));
        return text;
    }

private:
    std::uint32_t hash_ = 2166136261u;
};
