#pragma once

#include "object.h"
#include "timeout.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class BridgeService;

// A slave bridge known to this gateway, kept alive for 180 s after it was
// last reported. Owned through the service's slaves map, guarded by the
// service mutex.
class RemoteService : public Object {
public:
    static constexpr long LifetimeSeconds = 180;

    RemoteService(BridgeService *owner, const std::string &guid, uint32_t address, Timeout::Clock clock)
        : owner(owner), guid(guid), address(address),
          timeout(std::make_unique<Timeout>(std::chrono::seconds(LifetimeSeconds), std::move(clock)))
    {
    }

    BridgeService *const owner;
    const std::string guid;
    const uint32_t address;  // host order
    const std::unique_ptr<Timeout> timeout;
};

// A slave as the front ends see it.
struct SlaveInfo {
    std::string guid;
    uint32_t address = 0;
};
