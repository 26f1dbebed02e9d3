#pragma once

#include <cstdint>
#include <string>

// printf-style formatting into a string; a null or failing format gives "".
std::string formatString(const char *format, ...) __attribute__((format(printf, 1, 2)));

// An IPv4 address held in host order (first octet most significant) as dotted
// decimal text, e.g. 0xC0A80114 -> "192.168.1.20".
std::string addressToString(uint32_t address);
