#pragma once

// Test helpers for the service's modes and relays: exact log counts, fixed
// ports that a test holds or probes, checkable byte patterns and the reads
// that collect them, and a service whose discovery responder follows the
// server test instead of being switched off.

#include "bridgeservice.h"
#include "logcapture.h"
#include "logmanager.h"
#include "socket.h"
#include "sockettesttools.h"
#include "tempdirectory.h"

#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace servicetest {

// How many messages read exactly `text` at `level`.
inline int countLogged(const LogCapture &capture, int level, const std::string &text)
{
    int n = 0;
    for (const auto &message : capture.messages())
        n += message->level == level && message->text == text;
    return n;
}

// `size` bytes that differ from one `seed` to another and from one offset to
// the next, so that a lost, doubled or swapped chunk shows.
inline std::string pattern(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    uint32_t state = 0x9E3779B9u * (seed + 1);
    for (size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Exactly `size` bytes, or what came before the time-out, the end or a failure.
inline std::string readExactly(Socket &socket, size_t size)
{
    std::string bytes(size, '\0');
    size_t count = 0;
    while (count < size) {
        const int received = socket.read(&bytes[count], static_cast<uint32_t>(size - count), false);
        if (received <= 0)
            break;
        count += static_cast<size_t>(received);
    }
    bytes.resize(count);
    return bytes;
}

// Everything up to the end of the stream; `ended` tells whether the end came
// (rather than a time-out or a failure).
inline std::string readToEnd(Socket &socket, bool &ended)
{
    std::string bytes;
    char buffer[65536];
    ended = false;
    for (;;) {
        const int received = socket.read(buffer, sizeof buffer, false, &ended);
        if (received <= 0)
            return bytes;
        bytes.append(buffer, static_cast<size_t>(received));
    }
}

// A socket connected to 127.0.0.1:port whose reads give up after 5 s; empty
// when the connection is refused.
inline std::shared_ptr<Socket> connectLoopback(uint16_t port, const std::string &name = "Client")
{
    auto socket = std::make_shared<Socket>(name);
    socket->receiveTimeout = 5000;
    if (!socket->connect(sockettest::Loopback, port))
        return nullptr;
    return socket;
}

// Sends `size` bytes each way at the same time between the two ends of a
// relayed connection and checks that both arrive unchanged.
inline void expectBothWays(Socket &near, Socket &far, size_t size, unsigned seed)
{
    const std::string outbound = pattern(size, seed);
    const std::string inbound = pattern(size, seed + 100);
    auto sendOut = std::async(std::launch::async, [&] { return near.write(outbound.data(), static_cast<uint32_t>(size)); });
    auto sendIn = std::async(std::launch::async, [&] { return far.write(inbound.data(), static_cast<uint32_t>(size)); });
    auto receiveOut = std::async(std::launch::async, [&] { return readExactly(far, size); });
    const std::string receivedIn = readExactly(near, size);
    EXPECT_EQ(sendOut.get(), static_cast<int>(size));
    EXPECT_EQ(sendIn.get(), static_cast<int>(size));
    const std::string receivedOut = receiveOut.get();
    EXPECT_EQ(receivedOut.size(), size);
    EXPECT_TRUE(receivedOut == outbound) << "the bytes towards the far end changed";
    EXPECT_EQ(receivedIn.size(), size);
    EXPECT_TRUE(receivedIn == inbound) << "the bytes towards the near end changed";
}

enum class Transport { Stream, Datagram };

// True when a socket of `transport` can be bound to 0.0.0.0:port just now,
// as the service would bind it (TCP with setReuseAddress, UDP without).
inline bool portFree(Transport transport, uint16_t port)
{
    const SocketHandle handle =
        transport == Transport::Stream ? SocketHandle::createStream() : SocketHandle::createDatagram();
    if (!handle.isOpen())
        return false;
    if (transport == Transport::Stream)
        handle.setReuseAddress();
    const bool bound = handle.bind(0, port);
    handle.close();
    return bound;
}

// A listening TCP socket on a fixed address and port (for the ports the
// bridge itself chooses: 80 and 8080, and a printer's own ports). While it
// listens, nobody else can bind that port on any address.
class FixedListener {
public:
    FixedListener(uint32_t address, uint16_t port) : handle_(SocketHandle::createStream())
    {
        // A port left in TIME_WAIT by an earlier run is still ours.
        if (!handle_.isOpen() || !handle_.setReuseAddress() || !handle_.bind(address, port) || !handle_.listen(16))
            handle_.close();
    }
    ~FixedListener() { handle_.close(); }
    FixedListener(const FixedListener &) = delete;
    FixedListener &operator=(const FixedListener &) = delete;

    bool listening() const { return handle_.isOpen(); }
    // The bound port (the system's choice when 0 was asked for).
    uint16_t port() const { return handle_.localPort(); }

    // The next connection, with reads that give up after 5 s, or empty.
    std::shared_ptr<Socket> accept(int timeoutMilliseconds = 5000) const
    {
        if (!sockettest::becomesReadable(handle_, timeoutMilliseconds))
            return nullptr;
        SocketHandle::AcceptFailure failure = SocketHandle::AcceptFailure::None;
        SocketHandle accepted = handle_.accept(failure);
        if (!accepted.isOpen())
            return nullptr;
        auto socket = std::make_shared<Socket>("Accepted", std::move(accepted));
        socket->receiveTimeout = 5000;
        socket->applyTimeouts();
        return socket;
    }

private:
    const SocketHandle handle_;
};

// The accepted end of a sockettest::Listener with reads that give up after 5 s.
inline std::shared_ptr<Socket> acceptFrom(const sockettest::Listener &listener, int timeoutMilliseconds = 5000)
{
    std::shared_ptr<Socket> socket = listener.acceptSocket("Accepted", timeoutMilliseconds);
    if (socket) {
        socket->receiveTimeout = 5000;
        socket->applyTimeouts();
    }
    return socket;
}

// The number of threads of this process (servicetestsystemposix.cpp,
// servicetestsystemwindows.cpp).
size_t threadCount();

} // namespace servicetest
