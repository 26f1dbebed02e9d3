#include "loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace Loopback {

namespace {

sockaddr_in loopbackEndpoint(uint16_t port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = htonl(Address);
    result.sin_port = htons(port);
    return result;
}

UniqueFd newStream()
{
    return UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

bool bindLoopback(int descriptor, uint16_t port)
{
    const sockaddr_in local = loopbackEndpoint(port);
    return ::bind(descriptor, reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0;
}

} // namespace

UniqueFd listenOn(uint16_t port, int backlog)
{
    UniqueFd socket = newStream();
    if (!socket.isOpen())
        return socket;
    const int on = 1;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (!bindLoopback(socket.get(), port) || ::listen(socket.get(), backlog) != 0)
        socket.reset();
    return socket;
}

UniqueFd connectTo(uint16_t port)
{
    UniqueFd socket = newStream();
    if (!socket.isOpen())
        return socket;
    setTimeouts(socket.get(), IoTimeoutMs);  // also bounds the connect
    const sockaddr_in target = loopbackEndpoint(port);
    int result;
    do {
        result = ::connect(socket.get(), reinterpret_cast<const sockaddr *>(&target), sizeof target);
    } while (result != 0 && errno == EINTR);
    if (result != 0)
        socket.reset();
    return socket;
}

uint16_t localPort(int descriptor)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

uint16_t freePort()
{
    UniqueFd socket = newStream();
    if (!socket.isOpen() || !bindLoopback(socket.get(), 0))
        return 0;
    return localPort(socket.get());
}

bool isListening(uint16_t port)
{
    // With SO_REUSEADDR a bind fails only where a socket listens (sockets
    // that are merely bound or in TIME_WAIT do not count).
    UniqueFd probe = newStream();
    if (!probe.isOpen())
        return false;
    const int on = 1;
    ::setsockopt(probe.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return !bindLoopback(probe.get(), port) && errno == EADDRINUSE;
}

void wake(int descriptor)
{
    if (descriptor >= 0)
        ::shutdown(descriptor, SHUT_RDWR);
}

void setNoDelay(int descriptor)
{
    const int on = 1;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void setTimeouts(int descriptor, unsigned milliseconds)
{
    timeval value{};
    value.tv_sec = static_cast<time_t>(milliseconds / 1000);
    value.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
    ::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
}

bool sendAll(int descriptor, const void *data, size_t size)
{
    const auto *bytes = static_cast<const unsigned char *>(data);
    size_t sent = 0;
    while (sent < size) {
        const ssize_t result = ::send(descriptor, bytes + sent, size - sent, MSG_NOSIGNAL);
        if (result > 0)
            sent += static_cast<size_t>(result);
        else if (!(result < 0 && errno == EINTR))
            return false;
    }
    return true;
}

ssize_t receiveSome(int descriptor, void *buffer, size_t size)
{
    for (;;) {
        const ssize_t result = ::recv(descriptor, buffer, size, 0);
        if (result >= 0)
            return result;
        if (errno != EINTR)
            return -1;
    }
}

bool receiveExact(int descriptor, void *buffer, size_t size)
{
    auto *bytes = static_cast<unsigned char *>(buffer);
    size_t received = 0;
    while (received < size) {
        const ssize_t result = receiveSome(descriptor, bytes + received, size - received);
        if (result <= 0)
            return false;
        received += static_cast<size_t>(result);
    }
    return true;
}

} // namespace Loopback
