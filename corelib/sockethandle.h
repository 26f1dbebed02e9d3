#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Shared ownership of one system socket, and the only place that makes
// system calls on it. One implementation per platform
// (sockethandleposix.cpp, sockethandlewindows.cpp); the code above it does
// not know which one it runs on.
//
// Copies refer to the same socket. close() wakes every thread blocked on it
// (accept, receive, send, connect, waitReadable), ends the connection for the
// peer, and marks it closed for every copy; the system's handle itself is
// released only when the last copy goes. A thread that took a copy before its
// call therefore never sees its number reused by another socket while the
// call runs. (Linux wakes blocked calls by shutting the socket down; Windows
// only by closing the handle, which would free the number at once, so there
// every blocking call waits on the socket together with a stop event that
// close() sets.)
//
// Failures are results (-1, false, an empty handle); the reason is the
// platform's last socket error of the calling thread, which
// IPlatform::getErrorCode(1) and getErrorID(1) read: a receive, send, accept
// or wait whose time-out ran out fails as "timed out", one on a closed handle
// as an error.
//
// Thread-safe: copies may be used and closed from different threads; one
// thread receives and one sends at a time.
class SocketHandle {
public:
    SocketHandle() = default;

    // A new IPv4 TCP stream socket, or an empty handle when none could be made.
    static SocketHandle createStream();
    // A new IPv4 UDP datagram socket, or an empty handle.
    static SocketHandle createDatagram();
    // Takes ownership of an open descriptor (a negative one gives an empty
    // handle). Defined on POSIX systems only, for the Linux relay benchmark,
    // whose listener works on descriptors of its own.
    static SocketHandle adopt(int descriptor);
    // The platform's last socket error of the calling thread.
    static int lastError();
    // The error of a call on a handle that is empty or closed (EBADF,
    // WSAENOTSOCK).
    static int closedError();
    // Dotted text without the resolver, else the resolver's first IPv4
    // address, in host order; 0 on failure, with the resolver's "#%d (%s)"
    // reason in `failure`.
    static uint32_t resolve(const std::string &host, std::string &failure);

    // True when there is a socket and it has not been closed.
    bool isOpen() const;
    // The system's number for the socket while a copy exists (closed or
    // not), else -1; for logs and tests.
    long long descriptor() const;
    // Shuts the socket down, wakes its waiters and marks it closed for every copy.
    void close() const;
    // Drops this copy; the socket stays open for the others.
    void release() { state_.reset(); }

    // Time-outs of the blocking calls in milliseconds (0: wait for ever):
    // `receive` bounds receive, receiveFrom and accept, `send` bounds send.
    void setTimeouts(uint32_t receive, uint32_t send) const;

    // Connects, waiting until it worked or failed, until close(), or until
    // `timeout` milliseconds have passed (0: no limit), which fails as
    // "timed out" (ETIMEDOUT, WSAETIMEDOUT).
    bool connect(uint32_t address, uint16_t port, uint32_t timeout) const;
    // One receive: the count, 0 at the end of the peer's stream, -1 on a
    // failure (a time-out included). A handle closed meanwhile fails.
    long receive(void *buffer, size_t size) const;
    // One send of up to `size` bytes: the count sent, or -1. Never raises a
    // signal for a peer that has gone.
    long send(const void *data, size_t size) const;
    // Ends the sending half: the peer reads the end of the stream.
    bool shutdownSend() const;

    bool bind(uint32_t address, uint16_t port) const;
    // Lets a stopped server bind its port again at once; a port held by a
    // listening socket still refuses a second bind.
    bool setReuseAddress() const;
    bool listen(int backlog) const;

    // What a failed accept means for the listening socket.
    enum class AcceptFailure {
        None,       // a connection was accepted
        Retry,      // nothing to take this time (a time-out, an aborted connection)
        Exhausted,  // out of descriptors or memory for now: wait a moment, then retry
        Failed,     // the listening socket failed or was closed
    };
    // The next connection, or an empty handle with `failure` set.
    SocketHandle accept(AcceptFailure &failure) const;

    bool enableBroadcast() const;
    // Makes datagrams leave through the interface with this system index.
    bool setOutgoingInterface(unsigned interfaceIndex) const;
    long sendTo(const void *data, size_t size, uint32_t address, uint16_t port) const;
    // The datagram's length (0 for an empty one) and its sender, or -1; a
    // handle closed while it waited fails.
    long receiveFrom(void *buffer, size_t size, uint32_t &address, uint16_t &port) const;

    // Caps the kernel's send and receive buffers.
    void setBufferSizes(int bytes) const;
    bool peerEndpoint(uint32_t &address, uint16_t &port) const;
    uint16_t localPort() const;

    // Waits until one of `count` handles has something to read (data, an
    // accepted connection, the end of its stream, an error) or was closed,
    // for at most `milliseconds` (negative: for ever). Returns the number of
    // such handles, with `ready[i]` set for each, 0 when the time ran out, or
    // -1 on a failure.
    static int waitReadable(const SocketHandle *const *handles, size_t count, int milliseconds, bool *ready);

    bool operator==(const SocketHandle &other) const { return state_ == other.state_; }

private:
    struct State;
    explicit SocketHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}

    std::shared_ptr<State> state_;
};
