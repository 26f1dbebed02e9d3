// The simulated WVT server: the remote end of the bridge's printer sessions.
#pragma once

#include "report.h"
#include "serverconfig.h"
#include "tcplistener.h"
#include "wvtprotocol.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

// Listens on the configured address and port; every accepted connection
// runs on a thread of its own (owned by the listener, joined by stop()).
// The first 68 bytes of a connection decide what it is: a registration
// (type 8) starts a ServerSession, an echoed tunnel request (type 1) is a
// tunnel connection, through which the server asks the printer's web port
// for a page; anything else (also nothing at all) is reported and closed.
//
// Owned by main(): start() and stop() run on the main thread. The
// connection threads call requestTunnel() and use the pending tunnels,
// which tunnelMutex_ guards; stopping_ is read by every thread.
class SimulatedServer {
public:
    SimulatedServer(const ServerConfig& config, Report& report);
    ~SimulatedServer() { stop(); }
    SimulatedServer(const SimulatedServer&) = delete;
    SimulatedServer& operator=(const SimulatedServer&) = delete;

    // Binds and listens; reports server-listen, or error bind and false.
    bool start();

    // Closes the port and every session and tunnel connection, joins their
    // threads. Idempotent.
    void stop();

    bool stopping() const { return stopping_; }

    // Records a tunnel request that a session is about to send; returns its
    // number, unique within the server.
    std::uint32_t requestTunnel(std::uint32_t session, std::uint16_t port,
                                wvt::Message& request);

private:
    void serveConnection(int fd, const sockaddr_in& peer);   // a connection thread's body
    void serveTunnel(int fd, const sockaddr_in& peer, const std::uint8_t* first);

    const ServerConfig& config_;
    Report& report_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint32_t> nextSession_{1};

    std::mutex tunnelMutex_;
    std::uint32_t nextTunnel_ = 1;                        // guarded by tunnelMutex_
    std::map<std::uint32_t, wvt::Message> pendingTunnels_;  // by number; guarded by tunnelMutex_

    TcpListener listener_;  // last member: its threads are joined before the rest goes
};
