// One printer session on the simulated WVT server.
#pragma once

#include "report.h"
#include "serverconfig.h"
#include "wvtprotocol.h"

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>

class SimulatedServer;

// Serves one registered session on its connection's thread: records the
// registration, then sends keep-alives on the configured period and reads
// each reply (type 4, or 6 followed by the password file), sends tunnel
// requests when they are due, and goes silent or closes on the configured
// faults, or with random-bytes answers the registration with random bytes
// and closes. Only one exchange is outstanding at a time: nothing is sent while
// a keep-alive waits for its reply, so that the bridge reads the password
// file's length where it expects it. Ends when the bridge closes, on a
// broken message, or when the server stops (it shuts the socket down).
class ServerSession {
public:
    // first holds the session's first wvt::kMessageSize bytes (type 8).
    ServerSession(int fd, const sockaddr_in& peer, std::uint32_t id,
                  const ServerConfig& config, SimulatedServer& server, Report& report);

    void run(const std::uint8_t* first);

private:
    using Clock = std::chrono::steady_clock;

    bool receiveRegistration(const std::uint8_t* first);
    bool sendKeepAlive();
    bool receiveMessage(std::string& endReason);
    bool sendPasswords();
    bool sendTunnelRequest();
    std::string sendRandomBytes();  // returns the session's end reason
    std::string head(const char* event) const;  // event, session and name fields

    const int fd_;
    const sockaddr_in peer_;
    const std::uint32_t id_;
    // The server's settings, and once the printer's name is known, those
    // of its for=NAME section (if any).
    const ServerConfig* config_;
    SimulatedServer& server_;
    Report& report_;

    std::string name_;                   // registered printer name
    std::size_t keepAlives_ = 0;         // sent so far
    std::size_t replies_ = 0;            // received so far
    bool awaitingReply_ = false;
    wvt::Message lastKeepAlive_{};
    Clock::time_point keepAliveSentAt_;
    std::int64_t bridgeVersion_ = -1;    // the version the bridge has asked the file for
};
