#include "stringutils.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

std::string formatString(const char *format, ...)
{
    if (!format)
        return std::string();
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) {
        va_end(args);
        return std::string();
    }
    std::vector<char> scratch(static_cast<size_t>(length) + 1);
    std::vsnprintf(scratch.data(), scratch.size(), format, args);
    va_end(args);
    return std::string(scratch.data(), static_cast<size_t>(length));
}

std::string addressToString(uint32_t address)
{
    return formatString("%u.%u.%u.%u", address >> 24, (address >> 16) & 0xffu, (address >> 8) & 0xffu, address & 0xffu);
}

bool stringToAddress(const std::string &text, uint32_t &address)
{
    uint32_t result = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.')
                return false;
            ++at;
        }
        const size_t first = at;
        unsigned value = 0;
        while (at < text.size() && at - first < 4 && text[at] >= '0' && text[at] <= '9')
            value = value * 10 + static_cast<unsigned>(text[at++] - '0');
        const size_t digits = at - first;
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[first] == '0'))
            return false;
        result = (result << 8) | value;
    }
    if (at != text.size())
        return false;
    address = result;
    return true;
}

namespace {

// The length of the valid UTF-8 sequence that starts at text[at], or 0 when
// the bytes there are not one (overlong forms, surrogates and values above
// U+10FFFF included).
size_t utf8SequenceLength(const std::string &text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    }
    return length;
}

} // namespace

std::string escapeText(const std::string &text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    const auto escapeByte = [&](unsigned char value) {
        escaped += "\\x";
        escaped += digits[value >> 4];
        escaped += digits[value & 0x0F];
    };
    size_t at = 0;
    while (at < text.size()) {
        const unsigned char value = static_cast<unsigned char>(text[at]);
        if (value < 0x80) {
            if (value < 0x20 || value == 0x7F)
                escapeByte(value);
            else
                escaped += static_cast<char>(value);
            ++at;
            continue;
        }
        const size_t length = utf8SequenceLength(text, at);
        // U+0080..U+009F (C2 80..C2 9F) are the C1 controls, which terminals obey.
        const bool c1Control = length == 2 && value == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F;
        if (length == 0 || c1Control) {
            escapeByte(value);
            ++at;
            continue;
        }
        escaped.append(text, at, length);
        at += length;
    }
    return escaped;
}
