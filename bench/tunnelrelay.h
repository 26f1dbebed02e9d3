#pragma once

#include "loopbacklistener.h"
#include "relay.h"
#include "tunnel.h"

#include <memory>
#include <mutex>
#include <vector>

class Socket;

// The project's Tunnel as a relay, set up the way the bridge sets up its
// printer tunnel: each accepted connection becomes endpoint1, a new Socket
// connected to the target becomes endpoint2 (both with 20000 ms receive
// time-outs), and a Tunnel with selectTimeout 3000 joins them on its thread.
// A derived relay changes only how endpoint2 is made (connectSink); it stops
// its own parts after TunnelRelay::stop, and calls stop() in its destructor,
// so that no connection is joined once it is partly destroyed.
class TunnelRelay : public Relay {
public:
    ~TunnelRelay() override;

    std::string name() const override { return "Tunnel"; }
    bool start(uint16_t targetPort, int connections, std::string &problem) override;
    uint16_t port() const override { return listener_.port(); }
    // Stops accepting, then stops (closes and joins) every tunnel.
    void stop() override;

protected:
    static constexpr uint32_t ReceiveTimeoutMs = 20000;

    // Endpoint2 connected to what the relay feeds (here the target), or null
    // when that failed. Runs on the accepting thread.
    virtual std::shared_ptr<Socket> connectSink();
    uint16_t targetPort() const { return targetPort_; }

private:
    void join(UniqueFd connection);

    static constexpr unsigned SelectTimeoutMs = 3000;

    uint16_t targetPort_ = 0;
    LoopbackListener listener_;
    std::mutex mutex_;  // guards tunnels_ and nextId_
    std::vector<std::shared_ptr<Tunnel>> tunnels_;
    int nextId_ = 0;
};
