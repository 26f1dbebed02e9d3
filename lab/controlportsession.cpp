#include "controlportsession.h"

#include "fnv1a.h"
#include "socketio.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

namespace {

const int kReceiveTimeoutMs = 30000;
const std::size_t kHexLimit = 256;  // content bytes shown in the report

// Text of a fixed NUL-padded field up to its first NUL.
std::string fieldText(const unsigned char* data, std::size_t size)
{
    std::size_t n = 0;
    while (n < size && data[n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char*>(data), n);
}

std::uint32_t readUint32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
long long daysFromCivil(long long y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

unsigned daysInMonth(unsigned year, unsigned month)
{
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

}  // namespace

ControlPortSession::ControlPortSession(int fd, const sockaddr_in& peer,
                                       const PrinterConfig& config, Report& report)
    : fd_(fd), peer_(peer), config_(config), report_(report)
{
}

void ControlPortSession::run()
{
    socketio::setReceiveTimeout(fd_, kReceiveTimeoutMs);
    const std::string head = "control-command" + Report::field("printer", config_.addressText);
    const std::string from = Report::field("from", socketio::endpointText(peer_));

    unsigned char command[16] = {};
    const std::size_t got = socketio::recvAll(fd_, command, sizeof command);
    if (got < sizeof command) {
        report_.event(head + " command=?" + Report::field("received", static_cast<long long>(got)) +
                      " result=incomplete" + from);
        return;
    }
    const std::string name = fieldText(command, sizeof command);
    const bool known = name == "copyfile" || name == "set_date";
    const unsigned char answer = known ? config_.controlAnswer : 0;
    const std::string line = head + Report::field("command", name);
    if (!socketio::sendAll(fd_, &answer, 1)) {
        report_.event(line + " result=incomplete" + from);
        return;
    }
    if (!known) {
        report_.event(line + " result=unknown" + from);
        return;
    }
    if (answer == 0) {
        // Whatever the peer still sends before it closes: nothing, if it
        // took the answer to mean "no more".
        unsigned char rest[4096];
        long long extra = 0;
        for (;;) {
            const std::size_t n = socketio::recvAll(fd_, rest, sizeof rest);
            extra += static_cast<long long>(n);
            if (n < sizeof rest)
                break;
        }
        report_.event(line + " result=declined" + from + Report::field("extra", extra));
        return;
    }
    const std::string fields = name == "copyfile" ? receiveCopyFile() : receiveDate();
    report_.event(line + fields + from);
}

std::string ControlPortSession::receiveCopyFile()
{
    unsigned char head[68] = {};
    const std::size_t got = socketio::recvAll(fd_, head, sizeof head);
    if (got < sizeof head) {
        std::string fields;
        if (got >= 64)
            fields = Report::field("file", fieldText(head, 64));
        return fields + Report::field("received", static_cast<long long>(got)) +
               " result=incomplete";
    }
    const std::string file = fieldText(head, 64);
    const std::uint32_t size = readUint32(head + 64);

    // The content is streamed: only its first bytes are kept for the report,
    // and a 32-bit FNV-1a hash covers all of it.
    Fnv1a hash;
    std::string hex;
    std::uint64_t received = 0;
    std::vector<unsigned char> buffer(65536);
    while (received < size) {
        const std::uint64_t left = size - received;
        const std::size_t want = left < buffer.size() ? static_cast<std::size_t>(left)
                                                      : buffer.size();
        const std::size_t n = socketio::recvAll(fd_, buffer.data(), want);
        hash.update(buffer.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
            if (received + i < kHexLimit) {
                char byte[3];
                std::snprintf(byte, sizeof byte, "%02x", buffer[i]);
                hex += byte;
            }
        }
        received += n;
        if (n < want)
            break;
    }
    return Report::field("file", file) + Report::field("size", static_cast<long long>(size)) +
           Report::field("received", static_cast<long long>(received)) +
           Report::field("hex", hex) + Report::field("fnv1a", hash.text()) +
           (received == size ? " result=ok" : " result=incomplete");
}

std::string ControlPortSession::receiveDate()
{
    unsigned char raw[16] = {};
    const std::size_t got = socketio::recvAll(fd_, raw, sizeof raw);
    if (got < sizeof raw)
        return Report::field("received", static_cast<long long>(got)) + " result=incomplete";
    unsigned v[8];
    for (int i = 0; i < 8; ++i)
        v[i] = raw[2 * i] | raw[2 * i + 1] << 8;
    const unsigned year = v[0], month = v[1], weekday = v[2], day = v[3];
    const unsigned hour = v[4], minute = v[5], second = v[6], millisecond = v[7];

    char date[64];
    std::snprintf(date, sizeof date, "%04u-%02u-%02u", year, month, day);
    char time[64];
    std::snprintf(time, sizeof time, "%02u:%02u:%02u.%03u", hour, minute, second,
                  millisecond);
    bool valid = year >= 1601 && year <= 30827 && month >= 1 && month <= 12 &&
                 day >= 1 && day <= daysInMonth(year, month) && hour < 24 &&
                 minute < 60 && second < 60 && millisecond < 1000;
    std::string fields = Report::field("date", date) + Report::field("time", time) +
                         Report::field("weekday", weekday);
    if (valid) {
        // 1970-01-01 was a Thursday (4).
        const long long days = daysFromCivil(year, month, day);
        const unsigned expected = static_cast<unsigned>(((days % 7) + 7 + 4) % 7);
        valid = weekday == expected;
        if (!valid)
            fields += Report::field("expected-weekday", expected);
    }
    fields += valid ? " valid=yes" : " valid=no";
    if (valid) {
        // How far the received local time is from this machine's local time.
        std::tm tm{};
        tm.tm_year = static_cast<int>(year) - 1900;
        tm.tm_mon = static_cast<int>(month) - 1;
        tm.tm_mday = static_cast<int>(day);
        tm.tm_hour = static_cast<int>(hour);
        tm.tm_min = static_cast<int>(minute);
        tm.tm_sec = static_cast<int>(second);
        tm.tm_isdst = -1;
        // mktime reloads the time zone on every call, which glibc guards with
        // a lock of its own that the thread sanitizer cannot see; several
        // printers receive their dates at once.
        static std::mutex timeZoneMutex;
        std::time_t sent = static_cast<std::time_t>(-1);
        {
            std::lock_guard<std::mutex> lock(timeZoneMutex);
            sent = std::mktime(&tm);
        }
        if (sent != static_cast<std::time_t>(-1))
            fields += Report::field("skew", static_cast<long long>(sent - std::time(nullptr)));
    }
    return fields + " result=ok";
}
