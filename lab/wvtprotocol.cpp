#include "wvtprotocol.h"

#include <cstring>

namespace wvt {

namespace {

constexpr std::size_t kNameOffset = 2, kNameSize = 32;
constexpr std::size_t kModelOffset = 34, kModelSize = 32;
constexpr std::size_t kValueOffset = 8;        // version or port
constexpr std::size_t kTokenOffset = 16;       // tunnel request: session, number
constexpr std::size_t kStatusOffset = 2;       // reply: status text
constexpr std::size_t kStatusMax = 32;         // longest status text

// The registration record's fields.
struct TextField { const char* name; std::size_t offset, size; std::string Registration::*target; };
const TextField kRecordTexts[] = {
    {"status", 0, 32, &Registration::status},     {"version", 32, 16, &Registration::version},
    {"serial", 48, 16, &Registration::serial},    {"order", 64, 16, &Registration::order},
    {"protocol", 88, 16, &Registration::protocol}, {"platform", 104, 16, &Registration::platform},
};
constexpr std::size_t kInstalledOffset = 80, kSystemIdOffset = 84;

std::int32_t readInt32(const std::uint8_t* p)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) |
                                     static_cast<std::uint32_t>(p[1]) << 8 |
                                     static_cast<std::uint32_t>(p[2]) << 16 |
                                     static_cast<std::uint32_t>(p[3]) << 24);
}

void writeUint(std::uint8_t* p, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The text up to the first NUL; padded false when a later byte is not 0.
std::string readText(const std::uint8_t* p, std::size_t size, bool& padded)
{
    std::size_t n = 0;
    while (n < size && p[n] != 0)
        ++n;
    padded = true;
    for (std::size_t i = n; i < size; ++i)
        padded = padded && p[i] == 0;
    return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

int messageType(const std::uint8_t* message)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(message[0] | message[1] << 8));
}

std::uint8_t fillByte(std::size_t offset)
{
    return static_cast<std::uint8_t>((offset * 29 + 3) & 0xff);
}

Registration parseRegistration(const std::uint8_t* message, const std::uint8_t* record)
{
    Registration r;
    if (messageType(message) != kRegister)
        r.problems.push_back("type");
    bool padded = true;
    r.name = readText(message + kNameOffset, kNameSize, padded);
    if (!padded)
        r.problems.push_back("name-padding");
    if (message[kNameOffset + kNameSize - 1] != 0)
        r.problems.push_back("name-byte-33");
    r.model = readText(message + kModelOffset, kModelSize, padded);
    if (!padded)
        r.problems.push_back("model-padding");
    if (message[66] != 0 || message[67] != 0)
        r.problems.push_back("tail");

    for (const TextField& f : kRecordTexts) {
        r.*f.target = readText(record + f.offset, f.size, padded);
        if (!padded)
            r.problems.push_back(std::string(f.name) + "-padding");
    }
    r.installed = readInt32(record + kInstalledOffset);
    r.systemId = readInt32(record + kSystemIdOffset);
    if (r.protocol != "6.04")
        r.problems.push_back("protocol");
    // "OS (machine)": a word, a blank, a non-empty machine in parentheses.
    const std::size_t open = r.platform.find(" (");
    if (open == std::string::npos || open == 0 || r.platform.size() < open + 4 ||
        r.platform.back() != ')')
        r.problems.push_back("platform");
    return r;
}

Message keepAlive(std::int64_t version, bool fill)
{
    Message m{};
    if (fill) {
        for (std::size_t i = 2; i < kMessageSize; ++i)
            m[i] = fillByte(i);
    }
    writeUint(m.data(), kKeepAlive, 2);
    writeUint(m.data() + kValueOffset, static_cast<std::uint64_t>(version), 8);
    return m;
}

Message tunnelRequest(std::uint16_t port, std::uint32_t session, std::uint32_t number)
{
    Message m{};
    for (std::size_t i = kTokenOffset + 8; i < kMessageSize; ++i)
        m[i] = fillByte(i);
    writeUint(m.data(), kOpenTunnel, 2);
    writeUint(m.data() + kValueOffset, port, 2);
    writeUint(m.data() + kTokenOffset, session, 4);
    writeUint(m.data() + kTokenOffset + 4, number, 4);
    return m;
}

std::uint16_t tunnelPort(const std::uint8_t* message)
{
    return static_cast<std::uint16_t>(message[kValueOffset] | message[kValueOffset + 1] << 8);
}

void tunnelToken(const std::uint8_t* message, std::uint32_t& session, std::uint32_t& number)
{
    session = static_cast<std::uint32_t>(readInt32(message + kTokenOffset));
    number = static_cast<std::uint32_t>(readInt32(message + kTokenOffset + 4));
}

ReplyCheck checkReply(const Message& sent, const std::uint8_t* reply)
{
    ReplyCheck c;
    c.type = messageType(reply);
    std::size_t n = 0;
    while (kStatusOffset + n < kMessageSize && reply[kStatusOffset + n] != 0)
        ++n;
    c.status.assign(reinterpret_cast<const char*>(reply + kStatusOffset), n);
    if (n > kStatusMax || kStatusOffset + n >= kMessageSize) {
        c.echo = "unterminated";
        return c;
    }
    c.echo = "ok";
    for (std::size_t i = kStatusOffset + n + 1; i < kMessageSize; ++i) {
        if (reply[i] != sent[i]) {
            c.echo = "changed";
            c.changedAt = static_cast<int>(i);
            break;
        }
    }
    return c;
}

}  // namespace wvt
