#pragma once

// Test helpers for the tunnel's relay: two loopback connections joined by a
// tunnel, checkable byte patterns, and the fixture that runs a relay test on
// each way of moving bytes.

#include "sockettesttools.h"
#include "splicepipe.h"
#include "tunnel.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace tunneltest {

using namespace sockettest;

class RecordingListener : public Tunnel::Listener {
public:
    void onTunnelClosed(int id) override
    {
        lastId = id;
        ++calls;
    }
    std::atomic<int> calls{0};
    std::atomic<int> lastId{-1};
};

// Two loopback connections joined by a tunnel:
//   near1 <-> endpoint1 (tunnel) endpoint2 <-> near2
// The test talks through near1 and near2.
struct TunnelRig {
    Listener listener;
    std::shared_ptr<Socket> near1, endpoint1, endpoint2, near2;

    // `receiveBuffer` (bytes, 0 for the default) limits the receive buffers
    // of endpoint1 and near2.
    explicit TunnelRig(int receiveBuffer = 0) : listener(16, receiveBuffer)
    {
        SocketPair first = makePair(listener, "Near 1", "Endpoint 1");
        SocketPair second = makePair(listener, "Endpoint 2", "Near 2");
        near1 = first.client;
        endpoint1 = first.server;
        endpoint2 = second.client;
        near2 = second.server;
        near1->receiveTimeout = near2->receiveTimeout = 10000;
        near1->applyTimeouts();
        near2->applyTimeouts();
    }
};

inline unsigned char patternByte(size_t index, unsigned seed)
{
    return static_cast<unsigned char>((index * 31 + seed + (index >> 12)) & 0xFF);
}

// Writes `size` pattern bytes in pieces of varying length.
inline void writePattern(Socket &socket, size_t size, unsigned seed)
{
    std::vector<unsigned char> piece(65536);
    size_t sent = 0;
    for (size_t round = 0; sent < size; ++round) {
        const size_t length = std::min(size - sent, size_t(1000 + (round * 7919) % 64000));
        for (size_t i = 0; i < length; ++i)
            piece[i] = patternByte(sent + i, seed);
        if (socket.write(piece.data(), static_cast<uint32_t>(length)) != static_cast<int>(length))
            return;
        sent += length;
    }
}

// Reads up to `size` bytes and returns how many arrived intact and in order
// before the first wrong byte, the end of the stream or a time-out.
inline size_t readPattern(Socket &socket, size_t size, unsigned seed)
{
    std::vector<unsigned char> buffer(32768);
    size_t good = 0;
    while (good < size) {
        const int n = socket.read(buffer.data(), static_cast<uint32_t>(buffer.size()), false);
        if (n <= 0)
            return good;
        for (int i = 0; i < n; ++i) {
            if (buffer[static_cast<size_t>(i)] != patternByte(good, seed))
                return good;
            ++good;
        }
    }
    return good;
}

// Every relay test runs on both ways of moving bytes: splice() through the
// tunnel's pipes, and the copy through its buffer. Where the system has no
// splice() (no pipe opens) the first is the second and is skipped.
class TunnelPaths : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        if (GetParam() && !SplicePipe().isOpen())
            GTEST_SKIP() << "no splice() on this system: the relay always copies";
    }

    std::shared_ptr<Tunnel> makeTunnel(Tunnel::Listener *listener, int id, std::shared_ptr<Socket> endpoint1,
                                       std::shared_ptr<Socket> endpoint2, unsigned selectTimeout)
    {
        auto tunnel = std::make_shared<Tunnel>(listener, id, std::move(endpoint1), std::move(endpoint2));
        tunnel->selectTimeout = selectTimeout;
        tunnel->zeroCopy = GetParam();
        return tunnel;
    }
};

} // namespace tunneltest
