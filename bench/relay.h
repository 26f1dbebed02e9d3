#pragma once

#include <cstdint>
#include <string>

// One way from the benchmark's clients to its sink: the direct connection,
// the project's Tunnel, or socat. Clients connect to port(); the relay
// forwards each connection to 127.0.0.1:targetPort.
class Relay {
public:
    virtual ~Relay() = default;

    // The column title.
    virtual std::string name() const = 0;
    // Gets ready to serve `connections` client connections (1, or many at
    // once); false with the reason in `problem` when it cannot.
    virtual bool start(uint16_t targetPort, int connections, std::string &problem) = 0;
    virtual uint16_t port() const = 0;
    // The most connections it serves at once (0: no bound of its own); the
    // connections at once on this path are that many when it is lower.
    virtual int connectionLimit() const { return 0; }
    // Ends all relaying and frees what start() took; safe to call twice.
    virtual void stop() = 0;
};
