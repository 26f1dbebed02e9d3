#pragma once

#include "loopbacklistener.h"
#include "relay.h"
#include "tunnel.h"

#include <memory>
#include <mutex>
#include <vector>

// The project's Tunnel as a relay, set up the way the bridge sets up its
// printer tunnel: each accepted connection becomes endpoint1, a new Socket
// connected to the target becomes endpoint2 (both with 20000 ms receive
// time-outs), and a Tunnel with selectTimeout 3000 joins them on its thread.
class TunnelRelay : public Relay {
public:
    ~TunnelRelay() override;

    std::string name() const override { return "Tunnel"; }
    bool start(uint16_t targetPort, int connections, std::string &problem) override;
    uint16_t port() const override { return listener_.port(); }
    // Stops accepting, then stops (closes and joins) every tunnel.
    void stop() override;

private:
    void join(UniqueFd connection);

    static constexpr uint32_t ReceiveTimeoutMs = 20000;
    static constexpr unsigned SelectTimeoutMs = 3000;

    uint16_t targetPort_ = 0;
    LoopbackListener listener_;
    std::mutex mutex_;  // guards tunnels_ and nextId_
    std::vector<std::shared_ptr<Tunnel>> tunnels_;
    int nextId_ = 0;
};
