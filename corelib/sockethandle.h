#pragma once

#include <memory>

// Shared ownership of one system socket descriptor.
//
// Copies refer to the same descriptor. close() shuts the socket down in both
// directions, which wakes every thread blocked on it (accept, recv, send,
// connect, poll), and marks it closed for every copy; the descriptor number
// itself is released only when the last copy goes. A thread that took a copy
// before its system call therefore never sees its number reused by another
// socket while the call runs.
//
// Thread-safe: copies may be used and closed from different threads.
class SocketHandle {
public:
    SocketHandle() = default;

    // Takes ownership of an open descriptor (a negative one gives an empty handle).
    static SocketHandle adopt(int descriptor);
    // A new IPv4 TCP stream socket, or an empty handle when none could be made.
    static SocketHandle createStream();
    // A new IPv4 UDP datagram socket, or an empty handle.
    static SocketHandle createDatagram();

    // True when there is a descriptor and it has not been closed.
    bool isOpen() const;
    // The descriptor number while a copy exists (closed or not), else -1.
    int descriptor() const;
    // Shuts the socket down and marks it closed for every copy.
    void close() const;
    // Drops this copy; the socket stays open for the others.
    void release() { state_.reset(); }

    bool operator==(const SocketHandle &other) const { return state_ == other.state_; }

private:
    struct State;
    std::shared_ptr<State> state_;
};
