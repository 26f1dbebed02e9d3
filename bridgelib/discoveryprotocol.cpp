#include "discoveryprotocol.h"

#include "discoveryparams.h"

#include <algorithm>
#include <cstdlib>
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

DiscoveryProtocol::AnswerKind DiscoveryProtocol::answerKind(const unsigned char *datagram, size_t length)
{
    if (length < HeaderSize)
        return AnswerKind::TooShort;
    if (!hasVendorTag(datagram, length))
        return AnswerKind::Foreign;
    if (isKind(datagram, length, PrinterResponse, 6))
        return AnswerKind::Printer;
    if (isKind(datagram, length, BridgeResponse, 6))
        return AnswerKind::Bridge;
    return AnswerKind::Foreign;
}

std::string DiscoveryProtocol::bridgeGuid(const unsigned char *datagram, size_t length)
{
    if (length < HeaderSize)
        return std::string();
    const DiscoveryParams params(
        std::string(reinterpret_cast<const char *>(datagram) + HeaderSize, length - HeaderSize));
    return params.get("guid");
}

DiscoveryProtocol::RequestKind DiscoveryProtocol::requestKind(const unsigned char *datagram, size_t length)
{
    if (length < HeaderSize)
        return RequestKind::TooShort;
    if (!hasVendorTag(datagram, length) || !isKind(datagram, length, Request, 5))
        return RequestKind::Foreign;
    return RequestKind::Request;
}

bool DiscoveryProtocol::gatewayOfRequest(const unsigned char *text, size_t length, std::string &guid, uint16_t &port)
{
    if (!text || length == 0)
        return false;
    const DiscoveryParams params(std::string(reinterpret_cast<const char *>(text), length));
    const std::string guidValue = params.get("guid");
    const std::string portText = params.get("gateway_port");
    if (guidValue.empty() || portText.empty())
        return false;
    guid = guidValue;
    port = parsePort(portText);
    return true;
}

uint16_t DiscoveryProtocol::parsePort(const std::string &text)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    return value > 65535 ? 0 : static_cast<uint16_t>(value);
}
