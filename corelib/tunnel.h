#pragma once

#include "ithread.h"
#include "object.h"
#include "socket.h"

#include <cstdint>
#include <memory>

// Joins two connected TCP sockets and copies bytes both ways, unchanged, on a
// thread of its own, until both sides have ended their streams, either side
// fails or the tunnel is stopped. A side that ends its stream (a half-close)
// has the end passed on to the other side, whose answer is still relayed back
// until it ends too, fails, or stays silent longer than its socket's receive
// time-out. One 8192-byte buffer; each wake-up moves at most one chunk in each
// direction, endpoint1 to endpoint2 first, and a chunk is written completely
// before the next read, so nothing queues inside the tunnel.
//
// Held by shared pointers; the endpoints are shared with the creator, who
// usually registered them so that a stopping service closes them too. A
// tunnel is used once. stop() may be called from any thread but the relay's.
class Tunnel : public IThread, public Object {
public:
    // Told on the relay thread when the relay has ended; must not stop that tunnel.
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void onTunnelClosed(int id) = 0;
    };

    // An empty endpoint becomes a new, unregistered socket named
    // "Tunnel endpoint1" or "Tunnel endpoint2".
    Tunnel(Listener *listener, int id, std::shared_ptr<Socket> endpoint1, std::shared_ptr<Socket> endpoint2);
    ~Tunnel() override;

    // Connects endpoint1, and only when that worked endpoint2.
    bool connect(uint32_t address1, uint16_t port1, uint32_t address2, uint16_t port2);

    const std::shared_ptr<Socket> &endpoint1() const { return endpoint1_; }
    const std::shared_ptr<Socket> &endpoint2() const { return endpoint2_; }
    int id() const { return id_; }

    // Closes both endpoints (ending any wait, read or write of the relay at
    // once), then clears the running flag and joins the relay thread.
    void stop() override;

    // The longest single wait of the relay, in milliseconds; set before start.
    // 0 means a short default.
    unsigned selectTimeout = 0;

protected:
    void onRun() override;

private:
    void relay();

    Listener *const listener_;  // not owned; may be null
    const int id_;
    const std::shared_ptr<Socket> endpoint1_;
    const std::shared_ptr<Socket> endpoint2_;
};
