#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// The printf dialect the compiler checks formats against: MinGW's C++
// library formats as C99 does (%zu, %lld), not as the Windows runtime.
#ifdef __MINGW_PRINTF_FORMAT
#define ORVEL_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define ORVEL_PRINTF_FORMAT printf
#endif

// printf-style formatting into a string; a null or failing format gives "".
std::string formatString(const char *format, ...) __attribute__((format(ORVEL_PRINTF_FORMAT, 1, 2)));

// An IPv4 address held in host order (first octet most significant) as dotted
// decimal text, e.g. 0xC0A80114 -> "192.168.1.20".
std::string addressToString(uint32_t address);
// Parses strict dotted decimal text (four parts of 0 to 255, no leading
// zeros); false, with `address` unchanged, for anything else.
bool stringToAddress(const std::string &text, uint32_t &address);

// A text that came from a device or host the bridge does not control, made
// safe to log or show: control characters (C0, DEL and C1) and bytes that are
// not valid UTF-8 become "\xNN"; everything else, valid multi-byte characters
// included, is kept. Only for display: bytes sent on to a peer stay as given.
std::string escapeText(const std::string &text);
