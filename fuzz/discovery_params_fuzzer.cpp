// The key=value text of the discovery datagrams, as DiscoveryParams parses
// and writes it.
#include "discoveryparams.h"
#include "fuzzcheck.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    const DiscoveryParams params(std::string(reinterpret_cast<const char *>(data), size));
    const std::string text = params.toString();
    // Writing what was read and reading it again changes nothing.
    const DiscoveryParams again(text);
    FUZZ_CHECK(again.toString() == text);
    FUZZ_CHECK(again.get("guid") == params.get("guid"));
    FUZZ_CHECK(again.get("gateway_port") == params.get("gateway_port"));
    // The text has no line feed after its last line.
    FUZZ_CHECK(text.empty() || text.back() != '\n');
    return 0;
}
