#pragma once

// Test helpers for the socket layer: loopback listeners, connected pairs of
// Socket objects, a port that nothing listens on, and waits with deadlines.
// Everything here uses 127.0.0.1 only.

#include "socket.h"
#include "stringutils.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace sockettest {

constexpr uint32_t Loopback = 0x7F000001;  // 127.0.0.1

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline long long millisecondsSince(Clock::time_point begin)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - begin).count();
}

template <typename Predicate>
bool eventually(Predicate predicate, int limitMilliseconds = 5000)
{
    const auto deadline = Clock::now() + milliseconds(limitMilliseconds);
    while (!predicate()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

// Calls `action` once when it has not been disarmed within the time, so that
// a call that should have returned by itself cannot hang a test for ever.
class Watchdog {
public:
    template <typename Action>
    Watchdog(int milliseconds, Action action)
        : thread_([this, milliseconds, action] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!disarmed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return done_; })) {
                  fired_ = true;
                  action();
              }
          })
    {
    }
    ~Watchdog() { disarm(); }

    // True when the action ran.
    bool disarm()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        disarmed_.notify_all();
        if (thread_.joinable())
            thread_.join();
        return fired_;
    }

private:
    std::mutex mutex_;
    std::condition_variable disarmed_;
    bool done_ = false;
    std::atomic<bool> fired_{false};
    std::thread thread_;
};

inline sockaddr_in loopbackAddress(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(Loopback);
    address.sin_port = htons(port);
    return address;
}

inline uint16_t localPortOf(int descriptor)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

// A plain listening TCP socket on 127.0.0.1 and a system-chosen port. It
// accepts only when asked to, so connections can also be left waiting.
class Listener {
public:
    explicit Listener(int backlog = 16, int receiveBuffer = 0)
    {
        descriptor_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (descriptor_ < 0)
            throw std::runtime_error("socket() failed");
        if (receiveBuffer > 0)
            ::setsockopt(descriptor_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        const sockaddr_in address = loopbackAddress(0);
        if (::bind(descriptor_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
            ::listen(descriptor_, backlog) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        port_ = localPortOf(descriptor_);
    }
    ~Listener()
    {
        if (descriptor_ >= 0)
            ::close(descriptor_);
    }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    uint16_t port() const { return port_; }
    int descriptor() const { return descriptor_; }

    // True when a connection waits to be accepted within the time.
    bool hasPending(int timeoutMilliseconds) const
    {
        pollfd entry{descriptor_, POLLIN, 0};
        return ::poll(&entry, 1, timeoutMilliseconds) > 0 && (entry.revents & POLLIN);
    }

    // The accepted descriptor, or -1 when none came within the time.
    int accept(int timeoutMilliseconds = 5000) const
    {
        if (!hasPending(timeoutMilliseconds))
            return -1;
        return ::accept4(descriptor_, nullptr, nullptr, SOCK_CLOEXEC);
    }

    // The accepted connection as a Socket, or an empty pointer.
    std::shared_ptr<Socket> acceptSocket(const std::string &name = "Accepted", int timeoutMilliseconds = 5000) const
    {
        const int accepted = accept(timeoutMilliseconds);
        if (accepted < 0)
            return nullptr;
        return std::make_shared<Socket>(name, SocketHandle::adopt(accepted));
    }

private:
    int descriptor_ = -1;
    uint16_t port_ = 0;
};

// Two ends of one loopback TCP connection, both Socket objects.
struct SocketPair {
    std::shared_ptr<Socket> client;  // connected with Socket::connect
    std::shared_ptr<Socket> server;  // the accepted end
};

inline SocketPair makePair(const Listener &listener, const std::string &clientName = "Client",
                           const std::string &serverName = "Accepted")
{
    SocketPair pair;
    pair.client = std::make_shared<Socket>(clientName);
    if (!pair.client->connect(Loopback, listener.port()))
        throw std::runtime_error("loopback connect failed");
    pair.server = listener.acceptSocket(serverName);
    if (!pair.server)
        throw std::runtime_error("loopback accept failed");
    return pair;
}

// A port on 127.0.0.1 that was just bound and released, so that a connect
// to it is refused.
inline uint16_t releasedPort()
{
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopbackAddress(0);
    uint16_t port = 0;
    if (descriptor >= 0 && ::bind(descriptor, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        port = localPortOf(descriptor);
    if (descriptor >= 0)
        ::close(descriptor);
    if (port == 0)
        throw std::runtime_error("cannot bind a port on 127.0.0.1");
    return port;
}

// True when the descriptor's peer closed the connection (a receive of 0
// bytes) within the time, with no data before it.
inline bool seesEndOfStream(int descriptor, int timeoutMilliseconds = 5000)
{
    pollfd entry{descriptor, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMilliseconds) <= 0)
        return false;
    char byte;
    return ::recv(descriptor, &byte, 1, MSG_DONTWAIT) == 0;
}

// True when the descriptor becomes readable within the time.
inline bool becomesReadable(int descriptor, int timeoutMilliseconds)
{
    pollfd entry{descriptor, POLLIN, 0};
    return ::poll(&entry, 1, timeoutMilliseconds) > 0 && (entry.revents & POLLIN);
}

} // namespace sockettest
