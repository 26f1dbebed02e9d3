#include "sockethandle.h"

#include "platformposix.h"
#include "stringutils.h"
#include "uniquefd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

// Here close() is shutdown(SHUT_RDWR), which wakes every thread blocked on
// the descriptor; the descriptor is closed with the last copy. Blocking calls
// are the system's own, bounded by SO_RCVTIMEO and SO_SNDTIMEO, and retried
// after EINTR.

struct SocketHandle::State {
    explicit State(int descriptor) : descriptor(descriptor) {}

    const UniqueFd descriptor;  // freed with the last copy
    std::atomic<bool> closed{false};
};

namespace {

sockaddr_in endpoint(uint32_t address, uint16_t port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = htonl(address);
    result.sin_port = htons(port);
    return result;
}

void setTimeout(int descriptor, int option, uint32_t milliseconds)
{
    timeval value{};
    value.tv_sec = static_cast<time_t>(milliseconds / 1000);
    value.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    ::setsockopt(descriptor, SOL_SOCKET, option, &value, sizeof value);
}

// Runs a system call again while it fails with EINTR.
template <typename Call>
auto retried(Call call)
{
    for (;;) {
        const auto result = call();
        if (result < 0 && errno == EINTR)
            continue;
        return result;
    }
}

} // namespace

SocketHandle SocketHandle::createStream()
{
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return descriptor < 0 ? SocketHandle() : SocketHandle(std::make_shared<State>(descriptor));
}

SocketHandle SocketHandle::createDatagram()
{
    const int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return descriptor < 0 ? SocketHandle() : SocketHandle(std::make_shared<State>(descriptor));
}

uint32_t SocketHandle::resolve(const std::string &host, std::string &failure)
{
    uint32_t parsed = 0;
    if (stringToAddress(host, parsed))
        return parsed;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *answer = nullptr;
    const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &answer);
    if (result != 0 || !answer) {
        failure = result == EAI_SYSTEM ? PlatformPosix::instance().getErrorString(1)
                                       : formatString("#%d (%s)", result, gai_strerror(result));
        return 0;
    }
    const uint32_t address = ntohl(reinterpret_cast<const sockaddr_in *>(answer->ai_addr)->sin_addr.s_addr);
    ::freeaddrinfo(answer);
    return address;
}

SocketHandle SocketHandle::adopt(int descriptor)
{
    return descriptor < 0 ? SocketHandle() : SocketHandle(std::make_shared<State>(descriptor));
}

int SocketHandle::lastError()
{
    return errno;
}

int SocketHandle::closedError()
{
    return EBADF;
}

bool SocketHandle::isOpen() const
{
    return state_ && !state_->closed.load();
}

long long SocketHandle::descriptor() const
{
    return state_ ? state_->descriptor.get() : -1;
}

void SocketHandle::close() const
{
    if (state_ && !state_->closed.exchange(true))
        ::shutdown(state_->descriptor.get(), SHUT_RDWR);
}

void SocketHandle::setTimeouts(uint32_t receive, uint32_t send) const
{
    if (!isOpen())
        return;
    setTimeout(state_->descriptor.get(), SO_RCVTIMEO, receive);
    setTimeout(state_->descriptor.get(), SO_SNDTIMEO, send);
}

bool SocketHandle::connect(uint32_t address, uint16_t port, uint32_t timeout) const
{
    if (!isOpen()) {
        errno = EBADF;
        return false;
    }
    // The connect runs non-blocking and waits in poll, so that a close() from
    // another thread ends the wait at once.
    const int descriptor = state_->descriptor.get();
    const int flags = ::fcntl(descriptor, F_GETFL);
    ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK);
    const sockaddr_in target = endpoint(address, port);
    int result = ::connect(descriptor, reinterpret_cast<const sockaddr *>(&target), sizeof target);
    if (result != 0 && errno == EINPROGRESS) {
        pollfd entry{descriptor, POLLOUT, 0};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
        result = retried([&] {
            int wait = -1;
            if (timeout != 0) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                wait = static_cast<int>(std::max<long long>(left.count(), 0));
            }
            return ::poll(&entry, 1, wait);
        });
        int error = 0;
        socklen_t length = sizeof error;
        if (result == 0) {
            errno = ETIMEDOUT;
            result = -1;
        } else if (result > 0 && ::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) == 0)
            result = error == 0 ? 0 : (errno = error, -1);
        else
            result = -1;
    }
    if (result == 0 && !isOpen()) {
        errno = ECONNABORTED;
        result = -1;
    }
    const int savedErrno = errno;
    ::fcntl(descriptor, F_SETFL, flags);
    errno = savedErrno;
    return result == 0;
}

long SocketHandle::receive(void *buffer, size_t size) const
{
    if (!isOpen()) {
        errno = EBADF;
        return -1;
    }
    const long received = retried([&] { return ::recv(state_->descriptor.get(), buffer, size, 0); });
    if (received == 0 && size > 0 && !isOpen()) {
        errno = EBADF;  // woken by close(): a failure, not the peer's end
        return -1;
    }
    return received;
}

long SocketHandle::send(const void *data, size_t size) const
{
    if (!isOpen()) {
        errno = EBADF;
        return -1;
    }
    return retried([&] { return ::send(state_->descriptor.get(), data, size, MSG_NOSIGNAL); });
}

bool SocketHandle::shutdownSend() const
{
    return isOpen() && ::shutdown(state_->descriptor.get(), SHUT_WR) == 0;
}

bool SocketHandle::bind(uint32_t address, uint16_t port) const
{
    const sockaddr_in local = endpoint(address, port);
    return isOpen() && ::bind(state_->descriptor.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0;
}

bool SocketHandle::setReuseAddress() const
{
    const int on = 1;
    return isOpen() && ::setsockopt(state_->descriptor.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool SocketHandle::listen(int backlog) const
{
    return isOpen() && ::listen(state_->descriptor.get(), backlog) == 0;
}

SocketHandle SocketHandle::accept(AcceptFailure &failure) const
{
    const int accepted = isOpen() ? ::accept4(state_->descriptor.get(), nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (accepted >= 0) {
        failure = AcceptFailure::None;
        return SocketHandle(std::make_shared<State>(accepted));
    }
    const int error = isOpen() ? errno : EBADF;
    // The listening socket carries the server's time-outs, and a receive
    // time-out also bounds accept (EAGAIN): no failure of the socket.
    if (error == EINTR || error == ECONNABORTED || error == EAGAIN || error == EWOULDBLOCK)
        failure = AcceptFailure::Retry;
    else if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM)
        failure = AcceptFailure::Exhausted;
    else
        failure = AcceptFailure::Failed;
    errno = error;
    return SocketHandle();
}

bool SocketHandle::enableBroadcast() const
{
    const int on = 1;
    return isOpen() && ::setsockopt(state_->descriptor.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

bool SocketHandle::setOutgoingInterface(unsigned interfaceIndex) const
{
    const uint32_t index = htonl(interfaceIndex);
    return isOpen() && ::setsockopt(state_->descriptor.get(), IPPROTO_IP, IP_UNICAST_IF, &index, sizeof index) == 0;
}

long SocketHandle::sendTo(const void *data, size_t size, uint32_t address, uint16_t port) const
{
    if (!isOpen()) {
        errno = EBADF;
        return -1;
    }
    const sockaddr_in target = endpoint(address, port);
    return retried([&] {
        return ::sendto(state_->descriptor.get(), data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&target),
                        sizeof target);
    });
}

long SocketHandle::receiveFrom(void *buffer, size_t size, uint32_t &address, uint16_t &port) const
{
    if (!isOpen()) {
        errno = EBADF;
        return -1;
    }
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const long received = retried([&] {
        return ::recvfrom(state_->descriptor.get(), buffer, size, 0, reinterpret_cast<sockaddr *>(&sender), &length);
    });
    if (received >= 0) {
        address = ntohl(sender.sin_addr.s_addr);
        port = ntohs(sender.sin_port);
    }
    if (received == 0 && !isOpen()) {
        errno = EBADF;  // woken by close(): a failure, not an empty datagram
        return -1;
    }
    return received;
}

void SocketHandle::setBufferSizes(int bytes) const
{
    if (!isOpen())
        return;
    ::setsockopt(state_->descriptor.get(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    ::setsockopt(state_->descriptor.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

bool SocketHandle::peerEndpoint(uint32_t &address, uint16_t &port) const
{
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (!isOpen() || ::getpeername(state_->descriptor.get(), reinterpret_cast<sockaddr *>(&peer), &length) != 0)
        return false;
    address = ntohl(peer.sin_addr.s_addr);
    port = ntohs(peer.sin_port);
    return true;
}

uint16_t SocketHandle::localPort() const
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (!isOpen() || ::getsockname(state_->descriptor.get(), reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

int SocketHandle::waitReadable(const SocketHandle *const *handles, size_t count, int milliseconds, bool *ready)
{
    std::vector<pollfd> waits(count);
    for (size_t index = 0; index < count; ++index) {
        ready[index] = false;
        const SocketHandle &handle = *handles[index];
        if (!handle.isOpen()) {
            errno = EBADF;
            return -1;
        }
        waits[index] = {handle.state_->descriptor.get(), POLLIN, 0};
    }
    const int result = retried([&] { return ::poll(waits.data(), waits.size(), milliseconds < 0 ? -1 : milliseconds); });
    if (result <= 0)
        return result;
    int found = 0;
    for (size_t index = 0; index < count; ++index) {
        ready[index] = waits[index].revents != 0;
        found += ready[index] ? 1 : 0;
    }
    return found;
}
