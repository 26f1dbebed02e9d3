#pragma once

#include "buffer.h"

#include <cstddef>
#include <cstdint>

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

} // namespace DiscoveryProtocol
