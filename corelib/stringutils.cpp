#include "stringutils.h"

#include <arpa/inet.h>
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
    in_addr networkOrder{};
    networkOrder.s_addr = htonl(address);
    char text[22] = {};
    if (!inet_ntop(AF_INET, &networkOrder, text, sizeof text))
        return std::string();
    return text;
}
