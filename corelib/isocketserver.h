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
class ISocketServer : public Socket {
public:
    explicit ISocketServer(const std::string &name = std::string());
    ~ISocketServer() override;

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
