#pragma once

#include "tunnelrelay.h"

#include <memory>
#include <string>

class TlsClient;
class TempDirectory;

// The project's Tunnel with a TLS side, the way the bridge relays a tunnel
// the server asked for over a TLS link: TunnelRelay, but endpoint2 is a new
// Socket that made its TLS handshake with a TLS endpoint, which decrypts and
// forwards to the target. The endpoint (a certificate made at start, one
// thread per connection, OpenSSL directly) runs in this process, so the
// path's CPU holds both ends of TLS.
class TlsTunnelRelay : public TunnelRelay {
public:
    TlsTunnelRelay();
    ~TlsTunnelRelay() override;

    std::string name() const override { return "TLS Tunnel"; }
    bool start(uint16_t targetPort, int connections, std::string &problem) override;
    // Stops accepting, stops every tunnel, then ends and joins the endpoint's threads.
    void stop() override;

private:
    struct Endpoint;
    std::shared_ptr<Socket> connectSink() override;

    std::unique_ptr<TempDirectory> directory_;  // the CA file
    std::unique_ptr<TlsClient> client_;
    std::unique_ptr<Endpoint> endpoint_;
};
