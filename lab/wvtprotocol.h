// The byte layout of the WVT server session, as the simulated server sees
// it: the 68-byte message that travels both ways, the 120-byte registration
// record that follows the first one, and the server's own messages. Plain
// functions on bytes, so that the session code holds no offsets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace wvt {

constexpr std::size_t kMessageSize = 68;       // every message, both ways
constexpr std::size_t kRegistrationSize = 120; // the record after the first message

constexpr int kOpenTunnel = 1;     // server -> bridge: open a tunnel to a printer port
constexpr int kKeepAlive = 2;      // server -> bridge: carries the password-file version
constexpr int kKeepAliveReply = 4; // bridge -> server: the keep-alive with the status
constexpr int kGetPasswords = 6;   // bridge -> server: as 4, and asks for the password file
constexpr int kRegister = 8;       // bridge -> server: first message of a session

using Message = std::array<std::uint8_t, kMessageSize>;

// The signed 16-bit type at offset 0.
int messageType(const std::uint8_t* message);

// A registration as received, with the problems found in it (empty: valid).
struct Registration {
    std::string name, model;                         // from the message
    std::string status, version, serial, order;      // from the record
    std::int32_t installed = 0, systemId = 0;
    std::string protocol, platform;
    std::vector<std::string> problems;
};

// Checks and decodes the first message (kMessageSize bytes) and the record
// (kRegistrationSize bytes). Problems, by name: "type" (not 8), "name-byte-33"
// (the name's last byte, offset 33, is not 0), "tail" (offsets 66-67 not 0),
// "<field>-padding" (a text field has other bytes than 0 after its first
// NUL), "protocol" (not "6.04"), "platform" (not of the form "OS (machine)").
Registration parseRegistration(const std::uint8_t* message, const std::uint8_t* record);

// A keep-alive announcing the password-file version (signed 64-bit at
// offset 8). With fill, the bytes that carry nothing (2-7 and 16-67) hold
// fillByte(offset), so that a reply shows whether they came back unchanged;
// without it they are 0.
Message keepAlive(std::int64_t version, bool fill);

// A tunnel request for a printer port (unsigned 16-bit at offset 8). It
// carries the session and the request's number (unsigned 32-bit at 16 and
// 20) so that the connection that echoes it can be matched; bytes 24-67
// hold fillByte(offset).
Message tunnelRequest(std::uint16_t port, std::uint32_t session, std::uint32_t number);

// The printer port of a tunnel request.
std::uint16_t tunnelPort(const std::uint8_t* message);

// The session and number that tunnelRequest() wrote into a message.
void tunnelToken(const std::uint8_t* message, std::uint32_t& session, std::uint32_t& number);

std::uint8_t fillByte(std::size_t offset);

// What a keep-alive reply says and whether it kept the rest of the keep-alive.
struct ReplyCheck {
    int type = 0;
    std::string status;     // text at offset 2 up to its NUL
    std::string echo;       // "ok", "changed" or "unterminated" (no NUL within 33 bytes)
    int changedAt = -1;     // first offset after the status's NUL that differs, or -1
};

ReplyCheck checkReply(const Message& sent, const std::uint8_t* reply);

}  // namespace wvt
