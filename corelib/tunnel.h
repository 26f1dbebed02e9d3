#pragma once

#include "ithread.h"
#include "object.h"
#include "socket.h"
#include "splicepipe.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// Joins two connected TCP sockets and copies bytes both ways, unchanged, on a
// thread of its own, until both sides have ended their streams, either side
// fails or the tunnel is stopped. A side that ends its stream (a half-close)
// has the end passed on to the other side, whose answer is still relayed back
// until it ends too, fails, or stays silent longer than its socket's receive
// time-out.
//
// On Linux the bytes move with splice() through one 64-KiB pipe per
// direction, made with the tunnel, so that they never pass through user
// memory; where the kernel refuses splice() for the pair of sockets (or no
// pipe could be made) the tunnel copies through one 8192-byte buffer instead.
// Either way each wake-up moves at most one chunk in each direction, endpoint1
// to endpoint2 first, and a chunk is written completely before the next read,
// so nothing queues inside the tunnel beyond one chunk. When the relay starts
// it bounds both endpoints' kernel send and receive buffers, so that a relay
// whose peer stops reading holds at most HeldBytesBound bytes. An endpoint
// that speaks TLS (Socket::startTls) makes the relay copy in both directions,
// taking the bytes its stream has already decrypted before it waits again.
//
// Descriptors: the two endpoints' plus four for the pipes while the tunnel
// exists.
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

    // True once the relay copies through its buffer rather than splicing:
    // zeroCopy is off, the pipes could not be made, or the kernel refused
    // splice() for the endpoints. Any thread; settled when the relay starts,
    // and again at a refusal.
    bool copies() const { return copies_.load(); }

    const std::shared_ptr<Socket> &endpoint1() const { return endpoint1_; }
    const std::shared_ptr<Socket> &endpoint2() const { return endpoint2_; }
    int id() const { return id_; }

    // Closes both endpoints (ending any wait, read or write of the relay at
    // once), then clears the running flag and joins the relay thread.
    void stop() override;

    // The longest single wait of the relay, in milliseconds; set before start.
    // 0 means a short default.
    unsigned selectTimeout = 0;

    // Set before start: true moves bytes with splice() where the system allows
    // it; false always copies through the 8192-byte buffer.
    bool zeroCopy = true;

    // The size asked for each endpoint's kernel send and receive buffer (the
    // kernel reserves twice as much for its bookkeeping).
    static constexpr int SocketBufferBytes = 96 * 1024;
    // The most memory a relay ties up in its endpoints' kernel buffers and its
    // pipes, both directions stalled: 4 buffers of 2 x SocketBufferBytes plus
    // two full pipes, under 1 MiB.
    static constexpr size_t HeldBytesBound = 1024 * 1024;

protected:
    void onRun() override;

private:
    void relay();

    Listener *const listener_;  // not owned; may be null
    const int id_;
    const std::shared_ptr<Socket> endpoint1_;
    const std::shared_ptr<Socket> endpoint2_;
    std::atomic<bool> copies_{false};  // written by the relay thread
    // Used only by the relay thread once it runs.
    SplicePipe toEndpoint2_;  // endpoint1 -> endpoint2
    SplicePipe toEndpoint1_;  // endpoint2 -> endpoint1
};
