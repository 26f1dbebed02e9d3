#pragma once

#include "activitycounter.h"
#include "isocketserver.h"

#include <memory>

class BridgeService;

// The gateway listener: other bridges of the network (the slaves) connect to
// it, and each of their connections is joined byte for byte, both ways, to a
// new connection to the WVT server. It reads nothing of what passes.
//
// Ownership: the service owns the listening object (created and destroyed
// under the service mutex). Every accepted connection is served by a clone
// on a thread of its own, which holds the two registered sockets and waits
// for its Tunnel; destroying the listener ends only the listening, and a
// stopping service ends the relays by closing their sockets. Clones hold an
// activity token, so the service waits for them before it goes.
class BridgeGateway : public ISocketServer {
public:
    static constexpr uint32_t ServerReceiveTimeoutMs = 20000;
    static constexpr unsigned RelayWaitMs = 3000;
    // Slave connections relayed at once: a gateway serves a few dozen slave
    // printers on one network, each with its session and, while someone
    // looks at it through the server, up to RemotePrinter::MaxTunnels tunnels.
    // Each costs two threads and six descriptors.
    static constexpr unsigned MaxConnections = 128;

    explicit BridgeGateway(BridgeService *service);
    BridgeGateway(const BridgeGateway &other);

    std::shared_ptr<IClonable> clone() const override;
    // Serves one slave connection until the relay ends.
    void onRun() override;

private:
    BridgeService *const service_;     // not owned; outlives every clone
    ActivityCounter::Token activity_;  // held by clones only
};
