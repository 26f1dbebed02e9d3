#pragma once

#include "printerinfo.h"
#include "version.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// The session between a printer's bridge and the WVT server (directly or
// relayed unchanged by a gateway bridge). Every message in both directions
// is one 68-byte GatewayRequest: a signed 16-bit message type, then a
// payload that depends on the type. Integers are little-endian; texts are
// NUL-padded 8-bit text (a text that fills its field has no NUL).
//
//   8 WVT_REGISTER          bridge -> server, first: name (offset 2, at most
//                           31 characters), model (offset 34), then one
//                           120-byte GatewayData
//   1 WVT_OPEN_TUNNEL       server -> bridge: printer port at offset 8
//                           (unsigned 16-bit); the 68 bytes open the new
//                           tunnel connection to the server
//   2 WVT_SERVER_KEEPALIVE  server -> bridge: password file version at
//                           offset 8 (signed 64-bit)
//   4 WVT_KEEPALIVE_REPLY   bridge -> server: the keep-alive with the type
//                           replaced and the printer's status at offset 2
//   6 WVT_GET_PASSWORDS     as 4, and asks for the password file, which
//                           follows as a 32-bit length and that many bytes
//
// This is the one place of the session's byte layout.
namespace SessionProtocol {

constexpr size_t RequestSize = 68;
constexpr size_t DataSize = 120;
constexpr size_t LengthSize = 4;

constexpr int16_t WVT_OPEN_TUNNEL = 1;
constexpr int16_t WVT_SERVER_KEEPALIVE = 2;
constexpr int16_t WVT_KEEPALIVE_REPLY = 4;
constexpr int16_t WVT_GET_PASSWORDS = 6;
constexpr int16_t WVT_REGISTER = 8;

// The bridge's version, which the registration record carries.
constexpr const char *ProtocolVersion = OrvelBridgeVersion;

// The largest password file the bridge accepts. The real file is a few
// kilobytes; the bound keeps a wrong or hostile length from making the
// bridge allocate gigabytes.
constexpr uint32_t MaxPasswordFileSize = 8u * 1024u * 1024u;

using GatewayRequest = std::array<unsigned char, RequestSize>;
using GatewayData = std::array<unsigned char, DataSize>;

// The registration: the WVT_REGISTER request and the data that follows it.
GatewayRequest registerRequest(const PrinterInfo &info);
GatewayData registrationData(const PrinterInfo &info, const std::string &platform);

int16_t messageType(const GatewayRequest &request);
// The password file version of a WVT_SERVER_KEEPALIVE.
int64_t passwordVersion(const GatewayRequest &request);
// The printer port of a WVT_OPEN_TUNNEL.
uint16_t tunnelPort(const GatewayRequest &request);
// Turns a received keep-alive into its reply of `type`: the printer's status
// text and a NUL at offset 2, every other byte as received.
void makeKeepAliveReply(GatewayRequest &request, int16_t type, const PrinterInfo &info);
// The length that precedes the password file.
uint32_t passwordLength(const std::array<unsigned char, LengthSize> &field);

} // namespace SessionProtocol
