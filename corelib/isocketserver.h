#pragma once

#include "socket.h"

#include <functional>
#include <memory>
#include <thread>

// The base of every listening endpoint. A TCP server listens on a port and
// hands each accepted connection to a fresh clone of itself, which serves it
// by running onRun on a detached thread of its own. A broadcast server binds
// a UDP port and runs onRun once, on a clone that shares its handle.
//
// Concrete servers override clone() to copy their own fields, and their onRun
// takes the handle out of the clone at once (registering it with the sockets
// registry). No exception escapes a thread of this class.
//
// Ownership and threads: the accepting thread works on a clone of the server
// made at createServer(), never on the server object itself; destroying or
// closing the server shuts the listening socket down, which ends the
// accepting thread ("accept() failed"), and the destructor joins it.
// Per-connection threads own their clone; nobody joins them.
//
// Bound: at most maxConnections connections are served at once. One more is
// accepted and closed at once, so that its peer sees it end instead of
// waiting in the backlog, and one warning is logged per burst: when the
// limit is first met, and again only after the count has fallen below it.
// A connection counts until its clone's onRun has returned and the clone is
// gone, so that its threads and descriptors stay within the bound.
class ISocketServer : public Socket {
public:
    // The limit of a server that sets none of its own.
    static constexpr unsigned DefaultMaxConnections = 64;

    explicit ISocketServer(const std::string &name = std::string());
    ~ISocketServer() override;

    // Set before createServer, like the time-outs. 0: no limit.
    unsigned maxConnections = DefaultMaxConnections;
    // How the warning at the limit names this listener, for example "Gateway".
    std::string listenerName = "Server";

    // Listens on `port` (0: any free port; see getLocalPort) with a backlog of
    // 5 and starts the accepting thread.
    bool createServer(uint16_t port);
    // Binds a broadcast-capable UDP port and starts onRun on a clone.
    bool createBroadcastServer(uint16_t port);

    // The body that serves one accepted connection (TCP) or the datagram
    // service (UDP); runs on a clone.
    virtual void onRun() = 0;

protected:
    ISocketServer(const ISocketServer &other);

    // Accepts connections until the listening socket fails or is closed;
    // `spawn` serves each on a thread of its own, else on this thread.
    void acceptingThread(bool spawn);

    // Starts `body` on a new detached thread; throws std::system_error when
    // the system cannot create one.
    virtual void startThread(std::function<void()> body);

private:
    std::shared_ptr<ISocketServer> makeCopy() const;
    static void serve(const std::shared_ptr<ISocketServer> &copy);
    void stopAccepting();

    std::thread acceptThread_;  // touched only by the owner's thread
};
