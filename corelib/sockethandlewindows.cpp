#include "sockethandle.h"

#include "platformwindows.h"
#include "stringutils.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>

// On Windows a thread blocked in a Winsock call is woken only by closing the
// socket, and closing frees the handle number at once: another socket may get
// it while a thread still uses it. So the socket here never blocks. Every
// socket is non-blocking (WSAEventSelect makes it so) and signals a network
// event of its own; a call that would block waits on that event together with
// the handle's stop event, which close() sets. closesocket runs only with the
// last copy, as on Linux.
//
// The receive and send time-outs bound those waits (a DWORD of milliseconds;
// a wait that runs out fails with WSAETIMEDOUT, the "timed out" class).
// Readiness is always asked of the socket itself (select() with no wait)
// before waiting; the event is only the wake-up. One event serves every
// thread that waits on the socket, so that one thread's reset of it could
// take another's wake-up: each wait lasts at most WakeSliceMilliseconds and
// asks the socket again, which bounds a lost wake-up.

namespace {

constexpr DWORD WakeSliceMilliseconds = 1000;

#ifndef WSA_FLAG_NO_HANDLE_INHERIT
constexpr DWORD WSA_FLAG_NO_HANDLE_INHERIT = 0x80;
#endif
#ifndef IP_UNICAST_IF
constexpr int IP_UNICAST_IF = 31;
#endif
#ifndef SIO_UDP_CONNRESET
constexpr DWORD SIO_UDP_CONNRESET = _WSAIOW(IOC_VENDOR, 12);
#endif

sockaddr_in endpoint(uint32_t address, uint16_t port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = htonl(address);
    result.sin_port = htons(port);
    return result;
}

int clampSize(size_t size)
{
    return static_cast<int>(std::min<size_t>(size, INT_MAX));
}

} // namespace

struct SocketHandle::State {
    // Takes `socket`; isValid() tells whether its events could be made.
    explicit State(SOCKET socket)
        : socket(socket), networkEvent(WSACreateEvent()), stopEvent(WSACreateEvent())
    {
        valid = networkEvent != WSA_INVALID_EVENT && stopEvent != WSA_INVALID_EVENT &&
                WSAEventSelect(socket, networkEvent, FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE) == 0;
    }
    ~State()
    {
        ::closesocket(socket);
        if (networkEvent != WSA_INVALID_EVENT)
            WSACloseEvent(networkEvent);
        if (stopEvent != WSA_INVALID_EVENT)
            WSACloseEvent(stopEvent);
    }
    State(const State &) = delete;
    State &operator=(const State &) = delete;

    // The state for a new socket, or null (the socket then closed).
    static std::shared_ptr<State> adopt(SOCKET socket)
    {
        if (socket == INVALID_SOCKET)
            return nullptr;
        auto state = std::make_shared<State>(socket);
        return state->valid ? state : nullptr;
    }

    // What a wait asks the socket for.
    enum class Interest { Read, Write, Connect };
    enum class Waited { Ready, ConnectFailed, Closed, TimedOut, Failed };

    // Waits until the socket is ready for `interest`, is closed, or `timeout`
    // milliseconds (0: no limit) have passed.
    Waited wait(Interest interest, uint32_t timeout) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
        for (;;) {
            WSAResetEvent(networkEvent);
            if (closed.load())
                return Waited::Closed;
            fd_set interesting;
            fd_set failed;
            FD_ZERO(&interesting);
            FD_ZERO(&failed);
            FD_SET(socket, &interesting);
            FD_SET(socket, &failed);
            timeval now{0, 0};
            const int found = interest == Interest::Read
                                  ? ::select(0, &interesting, nullptr, nullptr, &now)
                                  : ::select(0, nullptr, &interesting, interest == Interest::Connect ? &failed : nullptr, &now);
            if (found == SOCKET_ERROR)
                return Waited::Failed;
            if (found > 0)
                return FD_ISSET(socket, &interesting) ? Waited::Ready : Waited::ConnectFailed;
            DWORD slice = WakeSliceMilliseconds;
            if (timeout != 0) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
                if (left <= 0)
                    return Waited::TimedOut;
                slice = std::min<DWORD>(slice, static_cast<DWORD>(left));
            }
            const WSAEVENT events[2] = {networkEvent, stopEvent};
            if (WSAWaitForMultipleEvents(2, events, FALSE, slice, FALSE) == WSA_WAIT_FAILED)
                return Waited::Failed;
        }
    }

    // Runs `call`, one attempt of a non-blocking call that returns a count
    // or SOCKET_ERROR, until it no longer fails with WSAEWOULDBLOCK, waiting
    // for `interest` in between for at most `timeout` milliseconds a wait.
    // -1 with the last error set when the handle is closed or a wait fails.
    template <typename Call>
    long blocking(Interest interest, const std::atomic<uint32_t> &timeout, Call call) const
    {
        for (;;) {
            if (closed.load()) {
                WSASetLastError(WSAENOTSOCK);
                return -1;
            }
            const int result = call();
            if (result != SOCKET_ERROR)
                return result;
            if (WSAGetLastError() != WSAEWOULDBLOCK)
                return -1;
            const Waited waited = wait(interest, timeout.load());
            if (waited != Waited::Ready) {
                setWaitError(waited);
                return -1;
            }
        }
    }

    // Sets the last socket error for a wait that did not end ready.
    static void setWaitError(Waited waited)
    {
        if (waited == Waited::TimedOut)
            WSASetLastError(WSAETIMEDOUT);
        else if (waited == Waited::Closed)
            WSASetLastError(WSAENOTSOCK);
    }

    const SOCKET socket;
    const WSAEVENT networkEvent;
    const WSAEVENT stopEvent;
    bool valid = false;
    std::atomic<bool> closed{false};
    std::atomic<uint32_t> receiveTimeout{0};
    std::atomic<uint32_t> sendTimeout{0};
};


SocketHandle SocketHandle::createStream()
{
    return SocketHandle(State::adopt(
        ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT)));
}

SocketHandle SocketHandle::createDatagram()
{
    SocketHandle handle(State::adopt(
        ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT)));
    if (handle.state_) {
        // Otherwise a port-unreachable answer to an earlier datagram fails
        // the next receive with WSAECONNRESET.
        BOOL report = FALSE;
        DWORD returned = 0;
        ::WSAIoctl(handle.state_->socket, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
                   nullptr);
    }
    return handle;
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
        failure = PlatformWindows::errorText(result != 0 ? result : WSAHOST_NOT_FOUND);
        if (failure.empty())
            failure = formatString("#%d", result);
        return 0;
    }
    const uint32_t address = ntohl(reinterpret_cast<const sockaddr_in *>(answer->ai_addr)->sin_addr.s_addr);
    ::freeaddrinfo(answer);
    return address;
}

int SocketHandle::lastError()
{
    return WSAGetLastError();
}

int SocketHandle::closedError()
{
    return WSAENOTSOCK;
}

bool SocketHandle::isOpen() const
{
    return state_ && !state_->closed.load();
}

long long SocketHandle::descriptor() const
{
    return state_ ? static_cast<long long>(state_->socket) : -1;
}

void SocketHandle::close() const
{
    if (state_ && !state_->closed.exchange(true)) {
        ::shutdown(state_->socket, SD_BOTH);
        WSASetEvent(state_->stopEvent);
    }
}

void SocketHandle::setTimeouts(uint32_t receive, uint32_t send) const
{
    if (!state_)
        return;
    state_->receiveTimeout = receive;
    state_->sendTimeout = send;
}

bool SocketHandle::connect(uint32_t address, uint16_t port, uint32_t timeout) const
{
    if (!isOpen()) {
        WSASetLastError(WSAENOTSOCK);
        return false;
    }
    const sockaddr_in target = endpoint(address, port);
    if (::connect(state_->socket, reinterpret_cast<const sockaddr *>(&target), sizeof target) == 0)
        return true;
    if (WSAGetLastError() != WSAEWOULDBLOCK)
        return false;
    const State::Waited waited = state_->wait(State::Interest::Connect, timeout);
    if (waited == State::Waited::Ready)
        return true;
    if (waited == State::Waited::TimedOut) {
        WSASetLastError(WSAETIMEDOUT);
        return false;
    }
    if (waited == State::Waited::ConnectFailed) {
        int error = 0;
        int length = sizeof error;
        ::getsockopt(state_->socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length);
        WSASetLastError(error != 0 ? error : WSAECONNREFUSED);
        return false;
    }
    WSASetLastError(waited == State::Waited::Closed ? WSAECONNABORTED : WSAGetLastError());
    return false;
}

long SocketHandle::receive(void *buffer, size_t size) const
{
    if (!state_) {
        WSASetLastError(WSAENOTSOCK);
        return -1;
    }
    const long received = state_->blocking(State::Interest::Read, state_->receiveTimeout, [&] {
        return ::recv(state_->socket, static_cast<char *>(buffer), clampSize(size), 0);
    });
    if (received == 0 && size > 0 && !isOpen()) {
        WSASetLastError(WSAENOTSOCK);  // woken by close(): a failure, not the peer's end
        return -1;
    }
    return received;
}

long SocketHandle::send(const void *data, size_t size) const
{
    if (!state_) {
        WSASetLastError(WSAENOTSOCK);
        return -1;
    }
    return state_->blocking(State::Interest::Write, state_->sendTimeout, [&] {
        return ::send(state_->socket, static_cast<const char *>(data), clampSize(size), 0);
    });
}

bool SocketHandle::shutdownSend() const
{
    return isOpen() && ::shutdown(state_->socket, SD_SEND) == 0;
}

bool SocketHandle::bind(uint32_t address, uint16_t port) const
{
    const sockaddr_in local = endpoint(address, port);
    return isOpen() && ::bind(state_->socket, reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0;
}

bool SocketHandle::setReuseAddress() const
{
    // Windows lets a new socket bind a port whose last connections linger
    // without being asked; SO_REUSEADDR there would let a second listener
    // take a port in use. SO_EXCLUSIVEADDRUSE keeps the port to one listener.
    const BOOL on = TRUE;
    return isOpen() && ::setsockopt(state_->socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&on),
                                    sizeof on) == 0;
}

bool SocketHandle::listen(int backlog) const
{
    return isOpen() && ::listen(state_->socket, backlog) == 0;
}

SocketHandle SocketHandle::accept(AcceptFailure &failure) const
{
    for (;;) {
        if (!isOpen()) {
            WSASetLastError(WSAENOTSOCK);
            failure = AcceptFailure::Failed;
            return SocketHandle();
        }
        const SOCKET accepted = ::accept(state_->socket, nullptr, nullptr);
        if (accepted != INVALID_SOCKET) {
            // The new socket shares the listening socket's event until it
            // gets its own.
            std::shared_ptr<State> state = State::adopt(accepted);
            failure = state ? AcceptFailure::None : AcceptFailure::Exhausted;
            return SocketHandle(std::move(state));
        }
        const int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            const State::Waited waited = state_->wait(State::Interest::Read, state_->receiveTimeout.load());
            if (waited == State::Waited::Ready)
                continue;
            State::setWaitError(waited);
            failure = waited == State::Waited::TimedOut ? AcceptFailure::Retry : AcceptFailure::Failed;
            return SocketHandle();
        }
        if (error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAEINTR)
            failure = AcceptFailure::Retry;
        else if (error == WSAEMFILE || error == WSAENOBUFS)
            failure = AcceptFailure::Exhausted;
        else
            failure = AcceptFailure::Failed;
        return SocketHandle();
    }
}

bool SocketHandle::enableBroadcast() const
{
    const BOOL on = TRUE;
    return isOpen() &&
           ::setsockopt(state_->socket, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&on), sizeof on) == 0;
}

bool SocketHandle::setOutgoingInterface(unsigned interfaceIndex) const
{
    const DWORD index = htonl(interfaceIndex);
    return isOpen() &&
           ::setsockopt(state_->socket, IPPROTO_IP, IP_UNICAST_IF, reinterpret_cast<const char *>(&index), sizeof index) == 0;
}

long SocketHandle::sendTo(const void *data, size_t size, uint32_t address, uint16_t port) const
{
    if (!state_) {
        WSASetLastError(WSAENOTSOCK);
        return -1;
    }
    const sockaddr_in target = endpoint(address, port);
    return state_->blocking(State::Interest::Write, state_->sendTimeout, [&] {
        return ::sendto(state_->socket, static_cast<const char *>(data), clampSize(size), 0,
                        reinterpret_cast<const sockaddr *>(&target), sizeof target);
    });
}

long SocketHandle::receiveFrom(void *buffer, size_t size, uint32_t &address, uint16_t &port) const
{
    if (!state_) {
        WSASetLastError(WSAENOTSOCK);
        return -1;
    }
    sockaddr_in sender{};
    const long received = state_->blocking(State::Interest::Read, state_->receiveTimeout, [&] {
        int length = sizeof sender;
        const int result = ::recvfrom(state_->socket, static_cast<char *>(buffer), clampSize(size), 0,
                                      reinterpret_cast<sockaddr *>(&sender), &length);
        // A datagram longer than the buffer arrives cut, as on Linux.
        return result == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE ? clampSize(size) : result;
    });
    if (received >= 0) {
        address = ntohl(sender.sin_addr.s_addr);
        port = ntohs(sender.sin_port);
    }
    return received;
}

void SocketHandle::setBufferSizes(int bytes) const
{
    if (!isOpen())
        return;
    ::setsockopt(state_->socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&bytes), sizeof bytes);
    ::setsockopt(state_->socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&bytes), sizeof bytes);
}

bool SocketHandle::peerEndpoint(uint32_t &address, uint16_t &port) const
{
    sockaddr_in peer{};
    int length = sizeof peer;
    if (!isOpen() || ::getpeername(state_->socket, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
        return false;
    address = ntohl(peer.sin_addr.s_addr);
    port = ntohs(peer.sin_port);
    return true;
}

uint16_t SocketHandle::localPort() const
{
    sockaddr_in local{};
    int length = sizeof local;
    if (!isOpen() || ::getsockname(state_->socket, reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

int SocketHandle::waitReadable(const SocketHandle *const *handles, size_t count, int milliseconds, bool *ready)
{
    // Two events per handle; WSAWaitForMultipleEvents takes at most 64.
    if (count == 0 || count > WSA_MAXIMUM_WAIT_EVENTS / 2) {
        WSASetLastError(WSAEINVAL);
        return -1;
    }
    WSAEVENT events[WSA_MAXIMUM_WAIT_EVENTS];
    for (size_t index = 0; index < count; ++index) {
        ready[index] = false;
        if (!handles[index]->state_) {
            WSASetLastError(WSAENOTSOCK);
            return -1;
        }
        events[2 * index] = handles[index]->state_->networkEvent;
        events[2 * index + 1] = handles[index]->state_->stopEvent;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        int found = 0;
        for (size_t index = 0; index < count; ++index) {
            const State &state = *handles[index]->state_;
            WSAResetEvent(state.networkEvent);
            if (state.closed.load()) {
                ready[index] = true;
                ++found;
            }
            FD_SET(state.socket, &readable);
        }
        timeval now{0, 0};
        if (::select(0, &readable, nullptr, nullptr, &now) == SOCKET_ERROR)
            return -1;
        for (size_t index = 0; index < count; ++index) {
            if (!ready[index] && FD_ISSET(handles[index]->state_->socket, &readable)) {
                ready[index] = true;
                ++found;
            }
        }
        if (found > 0)
            return found;
        DWORD slice = WakeSliceMilliseconds;
        if (milliseconds >= 0) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                return 0;
            slice = std::min<DWORD>(slice, static_cast<DWORD>(left));
        }
        if (WSAWaitForMultipleEvents(static_cast<DWORD>(2 * count), events, FALSE, slice, FALSE) == WSA_WAIT_FAILED)
            return -1;
    }
}
