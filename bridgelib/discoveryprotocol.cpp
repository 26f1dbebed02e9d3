#include "discoveryprotocol.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr const char VendorTag[] = "Kestova";
constexpr size_t VendorTagSize = 7;
constexpr size_t KindOffset = 8;
constexpr size_t KindSize = 8;

} // namespace

bool DiscoveryProtocol::appendHeader(Buffer &buffer, const char *kind)
{
    unsigned char header[HeaderSize] = {};
    std::memcpy(header, VendorTag, VendorTagSize);
    std::memcpy(header + KindOffset, kind, std::min(std::strlen(kind), KindSize));
    return buffer.append(header, HeaderSize) == HeaderSize;
}

bool DiscoveryProtocol::hasVendorTag(const unsigned char *datagram, size_t length)
{
    return length >= HeaderSize && std::memcmp(datagram, VendorTag, VendorTagSize) == 0;
}

bool DiscoveryProtocol::isKind(const unsigned char *datagram, size_t length, const char *kind, size_t compared)
{
    return length >= KindOffset + compared && std::memcmp(datagram + KindOffset, kind, compared) == 0;
}
