#pragma once

#include "relay.h"

#include <boost/signals2/connection.hpp>
#include <memory>

class TestService;

// The bridge's gateway as a relay: a real BridgeService (its discovery sweep
// switched off, its documents folder a temporary one) whose server is the
// sink, with the options --server-address 127.0.0.1 --server-port <sink>
// --gateway-port 0 --log-level 4. Its first cycle tests the server, finds it
// reachable and opens the gateway listener on a free port; each connection
// accepted there becomes a new "Server" connection to the sink (receive
// time-out 20000 ms), joined by a Tunnel (selectTimeout 3000) on the
// gateway's own threads. A new service for every measurement, so that each
// tests the sink it serves.
//
// Used by the benchmark's thread only. The gateway listens on every interface
// (the bridge's choice); the benchmark connects to it on 127.0.0.1 only.
// While it exists, the service's ERROR and CRITICAL log lines go to stderr.
class GatewayRelay : public Relay {
public:
    GatewayRelay();
    ~GatewayRelay() override;
    GatewayRelay(const GatewayRelay &) = delete;
    GatewayRelay &operator=(const GatewayRelay &) = delete;

    std::string name() const override { return "Gateway"; }
    bool start(uint16_t targetPort, int connections, std::string &problem) override;
    uint16_t port() const override { return port_; }
    // The gateway listener's own bound (BridgeGateway::MaxConnections).
    int connectionLimit() const override;
    // Stops the service (it closes every socket it registered, which ends
    // the relays, closes the listener and joins its threads) and destroys it.
    void stop() override;

private:
    static constexpr unsigned StartTimeoutMs = 5000;

    std::unique_ptr<TestService> service_;
    uint16_t port_ = 0;
    boost::signals2::connection logSink_;
};
