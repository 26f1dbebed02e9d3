#include "report.h"

#include <cstdio>

Report::Report() : start_(Clock::now()) {}

void Report::event(const std::string& text)
{
    const double seconds =
        std::chrono::duration<double>(Clock::now() - start_).count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.3f ", seconds);
    std::lock_guard<std::mutex> lock(mutex_);
    std::fputs(stamp, stdout);
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Report::field(const std::string& key, const std::string& value)
{
    return " " + key + "=" + escape(value);
}

std::string Report::field(const std::string& key, long long value)
{
    return " " + key + "=" + std::to_string(value);
}

std::string Report::escape(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if (c > 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}
