#pragma once

#include "relay.h"

#include <string>
#include <sys/types.h>

// socat as a relay, run as a child process in a process group of its own:
//   socat TCP-LISTEN:<port>,reuseaddr,bind=127.0.0.1[,fork] TCP:127.0.0.1:<target>
// Without fork it serves one connection and exits; with fork (for many
// connections at once) a child process serves each connection.
class SocatRelay : public Relay {
public:
    // The socat program found on PATH, or empty.
    static std::string findProgram();

    explicit SocatRelay(std::string program) : program_(std::move(program)) {}
    ~SocatRelay() override;

    std::string name() const override { return "socat"; }
    bool start(uint16_t targetPort, int connections, std::string &problem) override;
    uint16_t port() const override { return port_; }
    // Ends socat and its children (SIGTERM, then SIGKILL) and reaps socat.
    void stop() override;

private:
    bool launch(uint16_t port, uint16_t targetPort, bool fork, std::string &problem);
    // Waits until socat listens on `port`; false when it exited or took too long.
    bool awaitListening(uint16_t port, std::string &problem);
    // Reaps socat if it has ended, waiting at most `milliseconds`.
    bool reap(unsigned milliseconds);

    static constexpr unsigned StartTimeoutMs = 5000;

    const std::string program_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};
