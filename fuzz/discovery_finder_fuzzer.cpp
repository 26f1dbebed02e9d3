// A datagram that reached a discovery finder: a printer response, a bridge
// response, or anything else a host on the network sends to its port.
#include "discoveryprotocol.h"
#include "fuzzcheck.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The finder receives at most this much.
    if (size > DiscoveryProtocol::ReceiveSize)
        return 0;
    switch (DiscoveryProtocol::answerKind(data, size)) {
    case DiscoveryProtocol::AnswerKind::TooShort:
        FUZZ_CHECK(size < DiscoveryProtocol::HeaderSize);
        break;
    case DiscoveryProtocol::AnswerKind::Printer:
        FUZZ_CHECK(std::memcmp(data + 8, "HereMI", 6) == 0);
        break;
    case DiscoveryProtocol::AnswerKind::Bridge: {
        FUZZ_CHECK(std::memcmp(data + 8, "Bridge", 6) == 0);
        const std::string guid = DiscoveryProtocol::bridgeGuid(data, size);
        // A value is one trimmed line of the text.
        FUZZ_CHECK(guid.find('\n') == std::string::npos);
        FUZZ_CHECK(guid.size() <= size - DiscoveryProtocol::HeaderSize);
        FUZZ_CHECK(guid.empty() || (guid.front() != ' ' && guid.back() != ' ' && guid.back() != '\r'));
        break;
    }
    case DiscoveryProtocol::AnswerKind::Foreign:
        FUZZ_CHECK(size >= DiscoveryProtocol::HeaderSize);
        break;
    }
    return 0;
}
