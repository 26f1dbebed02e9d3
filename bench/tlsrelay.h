#pragma once

#include "loopbacklistener.h"
#include "relay.h"
#include "tunnel.h"

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TlsClient;
class TempDirectory;

// The project's Tunnel with a TLS side, the way the bridge relays a tunnel
// the server asked for over a TLS link: each accepted client connection is
// endpoint1 (plain), endpoint2 is a new Socket that made its TLS handshake
// with a TLS endpoint, which decrypts and forwards to the target. The
// endpoint (a certificate made at start, one thread per connection, OpenSSL
// directly) runs in this process, so the path's CPU holds both ends of TLS.
class TlsTunnelRelay : public Relay {
public:
    TlsTunnelRelay();
    ~TlsTunnelRelay() override;

    std::string name() const override { return "TLS Tunnel"; }
    bool start(uint16_t targetPort, int connections, std::string &problem) override;
    uint16_t port() const override { return listener_.port(); }
    // Stops accepting, stops every tunnel, then ends and joins the endpoint's threads.
    void stop() override;

private:
    struct Endpoint;
    void join(UniqueFd connection);

    static constexpr uint32_t ReceiveTimeoutMs = 20000;
    static constexpr unsigned SelectTimeoutMs = 3000;

    uint16_t targetPort_ = 0;
    std::unique_ptr<TempDirectory> directory_;  // the CA file
    std::unique_ptr<TlsClient> client_;
    std::unique_ptr<Endpoint> endpoint_;
    LoopbackListener listener_;
    std::mutex mutex_;  // guards tunnels_ and nextId_
    std::vector<std::shared_ptr<Tunnel>> tunnels_;
    int nextId_ = 0;
};
