#pragma once

#include <cstdint>
#include <string>

// A gateway bridge whose discovery request reached this bridge: where its
// gateway listener is. Copied into the service's gateways queue.
struct gateway_info_t {
    std::string guid;      // the gateway's instance GUID; never empty
    uint32_t address = 0;  // host order
    uint16_t port = 0;     // the gateway listener's TCP port
};
