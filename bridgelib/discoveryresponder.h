#pragma once

#include "activitycounter.h"
#include "buffer.h"
#include "isocketserver.h"

#include <cstdint>
#include <memory>

class BridgeService;

// Answers the bridges discovery requests of gateways on UDP port 9102 with a
// bridge response, and registers each asking gateway with the service. A
// broadcast server: the service owns the object; its clone serves the
// datagrams on a thread of its own until the service stops or the object is
// destroyed (which closes the handle the clone shares).
class DiscoveryResponder : public ISocketServer {
public:
    explicit DiscoveryResponder(BridgeService *service);
    DiscoveryResponder(const DiscoveryResponder &other);

    std::shared_ptr<IClonable> clone() const override;
    void onRun() override;

    // Registers the gateway a request names; always true.
    bool handleRequest(uint32_t sender, const unsigned char *payload, size_t length);
    // Fills the bridge response (header and this bridge's guid) into `buffer`.
    bool createResponse(Buffer &buffer) const;

private:
    BridgeService *const service_;  // not owned
    // Held by clones only: the service waits for a serving clone to finish.
    ActivityCounter::Token activity_;
};
