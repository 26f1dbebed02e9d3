#include "socket.h"

#include "logmanager.h"
#include "platformposix.h"
#include "stringutils.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

constexpr int SocketSource = 1;

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

int errorClass(int errorNumber)
{
    return PlatformPosix::errorClassOf(errorNumber, SocketSource);
}

} // namespace

Socket::Socket(const std::string &name, SocketHandle handle) : name(name), handle_(std::move(handle)) {}

Socket::Socket(const Socket &other)
    : Object(), IClonable(), name(other.name), receiveTimeout(other.receiveTimeout), sendTimeout(other.sendTimeout),
      handle_(other.sharedHandle())
{
}

Socket::~Socket()
{
    close();
}

std::shared_ptr<IClonable> Socket::clone() const
{
    return std::make_shared<Socket>(*this);
}

SocketHandle Socket::currentHandle() const
{
    std::lock_guard<std::mutex> lock(handleMutex_);
    return handle_;
}

SocketHandle Socket::sharedHandle() const
{
    return currentHandle();
}

int Socket::handle() const
{
    const SocketHandle handle = currentHandle();
    return handle.isOpen() ? handle.descriptor() : -1;
}

SocketHandle Socket::takeHandle()
{
    std::lock_guard<std::mutex> lock(handleMutex_);
    SocketHandle taken = std::move(handle_);
    handle_ = SocketHandle();
    return taken;
}

void Socket::setHandle(SocketHandle handle)
{
    std::lock_guard<std::mutex> lock(handleMutex_);
    handle_ = std::move(handle);
    closed_ = false;
}

void Socket::closeHandle()
{
    const SocketHandle handle = takeHandle();
    handle.close();
}

void Socket::close()
{
    SocketHandle handle;
    {
        std::lock_guard<std::mutex> lock(handleMutex_);
        handle = std::move(handle_);
        handle_ = SocketHandle();
        closed_ = true;
    }
    handle.close();
}

void Socket::applyTimeouts()
{
    const SocketHandle handle = currentHandle();
    if (!handle.isOpen())
        return;
    setTimeout(handle.descriptor(), SO_RCVTIMEO, receiveTimeout);
    setTimeout(handle.descriptor(), SO_SNDTIMEO, sendTimeout);
}

std::string Socket::nameSuffix() const
{
    return name.empty() ? std::string() : " (" + name + ")";
}

bool Socket::connectHandle(const SocketHandle &handle, uint32_t address, uint16_t port)
{
    // The connect runs non-blocking and waits in poll, so that a close() from
    // another thread (a shutdown) ends the wait at once.
    const int descriptor = handle.descriptor();
    const int flags = ::fcntl(descriptor, F_GETFL);
    ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK);
    const sockaddr_in target = endpoint(address, port);
    int result = ::connect(descriptor, reinterpret_cast<const sockaddr *>(&target), sizeof target);
    if (result != 0 && errno == EINPROGRESS) {
        pollfd entry{descriptor, POLLOUT, 0};
        do {
            result = ::poll(&entry, 1, -1);
        } while (result < 0 && errno == EINTR);
        int error = 0;
        socklen_t length = sizeof error;
        if (result > 0 && ::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) == 0)
            result = error == 0 ? 0 : (errno = error, -1);
        else
            result = -1;
    }
    if (result == 0 && !handle.isOpen()) {
        errno = ECONNABORTED;
        result = -1;
    }
    const int savedErrno = errno;
    ::fcntl(descriptor, F_SETFL, flags);
    errno = savedErrno;
    return result == 0;
}

bool Socket::connect(uint32_t address, uint16_t port)
{
    closeHandle();
    const std::string text = formatString("%s:%d", addressToString(address).c_str(), port);
    SocketHandle handle = SocketHandle::createStream();
    if (!handle.isOpen())
        return false;
    setTimeout(handle.descriptor(), SO_RCVTIMEO, receiveTimeout);
    setTimeout(handle.descriptor(), SO_SNDTIMEO, sendTimeout);
    bool refused = false;
    {
        std::lock_guard<std::mutex> lock(handleMutex_);
        refused = closed_;
        if (!refused)
            handle_ = handle;
    }

    if (refused || !connectHandle(handle, address, port)) {
        const int error = refused ? EBADF : PlatformPosix::instance().getErrorID(SocketSource);
        closeHandle();
        handle.close();
        ORVEL_LOG(Debug, formatString("Connect to %s failed with error %d%s", text.c_str(), error, nameSuffix().c_str()));
        return false;
    }
    ORVEL_LOG(Debug, formatString("Connection to %s succeeded%s", text.c_str(), nameSuffix().c_str()));
    return true;
}

bool Socket::connect(const std::string &host, uint16_t port)
{
    const uint32_t address = resolveHost(host);
    if (address == 0)
        return false;
    return connect(address, port);
}

uint32_t Socket::resolveHost(const std::string &host)
{
    in_addr parsed{};
    if (::inet_pton(AF_INET, host.c_str(), &parsed) == 1)
        return ntohl(parsed.s_addr);

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *answer = nullptr;
    const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &answer);
    if (result != 0 || !answer) {
        const std::string reason = result == EAI_SYSTEM ? PlatformPosix::instance().getErrorString(SocketSource)
                                                        : formatString("#%d (%s)", result, gai_strerror(result));
        ORVEL_LOG(Debug, formatString("gethostbyname failed for host '%s': %s", host.c_str(), reason.c_str()));
        return 0;
    }
    const uint32_t address = ntohl(reinterpret_cast<const sockaddr_in *>(answer->ai_addr)->sin_addr.s_addr);
    ::freeaddrinfo(answer);
    return address;
}

int Socket::read(void *buffer, uint32_t size, bool all, bool *endOfStream)
{
    if (endOfStream)
        *endOfStream = false;
    const SocketHandle handle = currentHandle();
    auto *bytes = static_cast<unsigned char *>(buffer);
    uint32_t count = 0;
    for (;;) {
        ssize_t received = -1;
        int error = EBADF;
        if (handle.isOpen()) {
            received = ::recv(handle.descriptor(), bytes + count, size - count, 0);
            error = received < 0 ? errno : 0;
        }
        if (received > 0) {
            count += static_cast<uint32_t>(received);
            if (all && count < size)
                continue;
            return static_cast<int>(count);
        }
        if (received < 0 && error == EINTR)
            continue;
        if (received == 0 && endOfStream && size > 0 && handle.isOpen()) {
            // An orderly end the caller asked about: no failure to log.
            *endOfStream = true;
            return -1;
        }
        const int kind = errorClass(error);
        if (kind == IPlatform::TimedOut)
            return 0;
        ORVEL_LOG(Debug, formatString("Socket::read errorCode=%d, errorID=%d (count=%d, size=%d)", kind, error,
                                      static_cast<int>(count), static_cast<int>(size)));
        return -1;
    }
}

int Socket::write(const void *data, uint32_t size)
{
    if (size == 0)
        size = static_cast<uint32_t>(std::strlen(static_cast<const char *>(data)));
    const SocketHandle handle = currentHandle();
    const auto *bytes = static_cast<const unsigned char *>(data);
    uint32_t count = 0;
    while (count < size) {
        ssize_t sent = -1;
        int error = EBADF;
        if (handle.isOpen()) {
            sent = ::send(handle.descriptor(), bytes + count, size - count, MSG_NOSIGNAL);
            error = sent < 0 ? errno : 0;
        }
        if (sent > 0) {
            count += static_cast<uint32_t>(sent);
            continue;
        }
        if (sent < 0 && error == EINTR)
            continue;
        ORVEL_LOG(Debug, formatString("Socket::write errorCode=%d, errorID=%d (count=%d, size=%d)", errorClass(error),
                                      error, static_cast<int>(count), static_cast<int>(size)));
        return -1;
    }
    return static_cast<int>(count);
}

bool Socket::shutdownSend()
{
    const SocketHandle handle = currentHandle();
    return handle.isOpen() && ::shutdown(handle.descriptor(), SHUT_WR) == 0;
}

bool Socket::getPeerEndpoint(uint32_t &address, uint16_t &port) const
{
    const SocketHandle handle = currentHandle();
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (!handle.isOpen() || ::getpeername(handle.descriptor(), reinterpret_cast<sockaddr *>(&peer), &length) != 0)
        return false;
    address = ntohl(peer.sin_addr.s_addr);
    port = ntohs(peer.sin_port);
    return true;
}

uint16_t Socket::getLocalPort() const
{
    const SocketHandle handle = currentHandle();
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (!handle.isOpen() || ::getsockname(handle.descriptor(), reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

bool Socket::openDatagram()
{
    close();
    SocketHandle handle = SocketHandle::createDatagram();
    setHandle(handle);
    return handle.isOpen();
}

bool Socket::bind(uint32_t address, uint16_t port)
{
    const SocketHandle handle = currentHandle();
    const sockaddr_in local = endpoint(address, port);
    return handle.isOpen() && ::bind(handle.descriptor(), reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0;
}

bool Socket::enableBroadcast()
{
    const SocketHandle handle = currentHandle();
    const int on = 1;
    return handle.isOpen() && ::setsockopt(handle.descriptor(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

bool Socket::setOutgoingInterface(unsigned interfaceIndex)
{
    const SocketHandle handle = currentHandle();
    const uint32_t index = htonl(interfaceIndex);
    return handle.isOpen() && ::setsockopt(handle.descriptor(), IPPROTO_IP, IP_UNICAST_IF, &index, sizeof index) == 0;
}

int Socket::sendTo(const void *data, uint32_t size, uint32_t address, uint16_t port)
{
    const SocketHandle handle = currentHandle();
    if (!handle.isOpen()) {
        errno = EBADF;
        return -1;
    }
    const sockaddr_in target = endpoint(address, port);
    ssize_t sent;
    do {
        sent = ::sendto(handle.descriptor(), data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&target),
                        sizeof target);
    } while (sent < 0 && errno == EINTR);
    return static_cast<int>(sent);
}

int Socket::receiveFrom(void *buffer, uint32_t size, uint32_t &address, uint16_t &port)
{
    const SocketHandle handle = currentHandle();
    if (!handle.isOpen()) {
        errno = EBADF;
        return -1;
    }
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    ssize_t received;
    do {
        received = ::recvfrom(handle.descriptor(), buffer, size, 0, reinterpret_cast<sockaddr *>(&sender), &length);
    } while (received < 0 && errno == EINTR);
    if (received >= 0) {
        address = ntohl(sender.sin_addr.s_addr);
        port = ntohs(sender.sin_port);
    }
    if (received == 0 && !handle.isOpen()) {
        errno = EBADF;  // woken by close(): a failure, not an empty datagram
        return -1;
    }
    return static_cast<int>(received);
}

int Socket::waitReadable(unsigned milliseconds)
{
    const SocketHandle handle = currentHandle();
    if (!handle.isOpen()) {
        errno = EBADF;
        return -1;
    }
    pollfd entry{handle.descriptor(), POLLIN, 0};
    int result;
    do {
        result = ::poll(&entry, 1, static_cast<int>(milliseconds));
    } while (result < 0 && errno == EINTR);
    return result < 0 ? -1 : (result > 0 ? 1 : 0);
}
