#pragma once

#include <cstdint>
#include <memory>

class RemotePrinter;

// The printer tunnel as the front ends see it.
struct PrinterTunnelInfo {
    std::shared_ptr<RemotePrinter> printer;  // the printer its port leads to
    uint16_t port = 0;                       // its local port; 0 when unknown
    bool present = false;                    // false: no tunnel is open
};
