// A datagram that reached the discovery responder: a gateway's bridges
// request, a printers request, or anything else sent to its port.
#include "discoveryparams.h"
#include "discoveryprotocol.h"
#include "fuzzcheck.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > DiscoveryProtocol::ReceiveSize)
        return 0;
    const DiscoveryProtocol::RequestKind kind = DiscoveryProtocol::requestKind(data, size);
    FUZZ_CHECK((kind == DiscoveryProtocol::RequestKind::TooShort) == (size < DiscoveryProtocol::HeaderSize));
    if (kind != DiscoveryProtocol::RequestKind::Request)
        return 0;
    std::string guid;
    uint16_t port = 0;
    if (!DiscoveryProtocol::gatewayOfRequest(data + DiscoveryProtocol::HeaderSize,
                                             size - DiscoveryProtocol::HeaderSize, guid, port))
        return 0;
    FUZZ_CHECK(!guid.empty());
    FUZZ_CHECK(guid.find('\n') == std::string::npos);

    // What a gateway writes for the same guid and port reads back the same.
    DiscoveryParams params;
    params.set("guid", guid);
    params.set("gateway_port", std::to_string(port));
    const std::string text = params.toString();
    std::string readGuid;
    uint16_t readPort = 1;
    FUZZ_CHECK(DiscoveryProtocol::gatewayOfRequest(reinterpret_cast<const unsigned char *>(text.data()), text.size(),
                                                   readGuid, readPort));
    FUZZ_CHECK(readGuid == guid);
    FUZZ_CHECK(readPort == port);
    return 0;
}
