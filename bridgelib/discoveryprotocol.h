#pragma once

#include "buffer.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The discovery datagrams. Each begins with a 16-byte header: the vendor tag
// "Kestova" (7 bytes), a zero byte, and the kind, an ASCII word padded with
// zero bytes to 8 bytes. A text of key=value lines may follow; the datagram's
// length delimits it.
namespace DiscoveryProtocol {

constexpr uint16_t PrintersPort = 9101;  // printers listen here
constexpr uint16_t BridgesPort = 9102;   // bridges' responders listen here
constexpr size_t HeaderSize = 16;
constexpr size_t PrintersRequestPadding = 48;
constexpr unsigned ReceiveSize = 4096;

constexpr const char *Request = "WhoRU";
constexpr const char *PrinterResponse = "HereMI";
constexpr const char *BridgeResponse = "Bridge";

// Appends the header of the given kind; false when the buffer cannot grow.
bool appendHeader(Buffer &buffer, const char *kind);
// True when the datagram is long enough for a header and carries the vendor tag.
bool hasVendorTag(const unsigned char *datagram, size_t length);
// True when bytes 8 onwards begin with the `compared` first letters of `kind`.
bool isKind(const unsigned char *datagram, size_t length, const char *kind, size_t compared);

// What a datagram that reached the finder is: too short for a header (logged
// by the finder), not for this bridge (no vendor tag, or another kind), a
// printer response or a bridge response.
enum class AnswerKind { TooShort, Foreign, Printer, Bridge };
AnswerKind answerKind(const unsigned char *datagram, size_t length);
// The "guid" a bridge response carries after its header; "" when it has none.
std::string bridgeGuid(const unsigned char *datagram, size_t length);

// What a datagram that reached the responder is: too short for a header
// (logged by the responder), not a request (no vendor tag, or another kind),
// or a request, whose text begins after the header.
enum class RequestKind { TooShort, Foreign, Request };
RequestKind requestKind(const unsigned char *datagram, size_t length);
// The gateway a bridges discovery request's text names: false when its
// "guid" or its "gateway_port" is missing or empty (a printers request);
// otherwise `guid` and `port`, which is 0 unless the text is a decimal
// number up to 65535.
bool gatewayOfRequest(const unsigned char *text, size_t length, std::string &guid, uint16_t &port);
// A decimal unsigned 16-bit number; anything else gives 0.
uint16_t parsePort(const std::string &text);

} // namespace DiscoveryProtocol
