#pragma once

#include "sockethandle.h"
#include "uniquefd.h"

#include <cstddef>
#include <csignal>

// A kernel pipe through which a relay moves one direction's bytes with
// splice(): socket to pipe, then pipe to socket, without copying them through
// user memory. Linux only; elsewhere it never opens and relays copy instead.
//
// Ownership: owns both ends of the pipe (UniqueFd), which close with it. The
// sockets it moves between are only borrowed for each call.
//
// Thread-safety: none; one relay thread uses it at a time (its Tunnel builds
// it before the relay thread starts and destroys it after the join).
class SplicePipe {
public:
    // The capacity asked for; a process over its pipe quota may get less.
    static constexpr int DefaultCapacity = 64 * 1024;

    // Opens a pipe of about `capacity` bytes; isOpen() tells whether it worked.
    explicit SplicePipe(int capacity = DefaultCapacity);
    SplicePipe(const SplicePipe &) = delete;
    SplicePipe &operator=(const SplicePipe &) = delete;

    // splice() cannot be given MSG_NOSIGNAL, so a pipe drained into a socket
    // whose peer has gone raises SIGPIPE at the relay thread. While it lives,
    // a guard keeps that signal blocked on the thread that made it; at its
    // end it discards the ones that came and restores the thread's mask.
    // Does nothing where there is no splice().
    class SignalGuard {
    public:
        SignalGuard();
        ~SignalGuard();
        SignalGuard(const SignalGuard &) = delete;
        SignalGuard &operator=(const SignalGuard &) = delete;

    private:
        bool blocked_ = false;
#ifdef __linux__
        sigset_t set_;
        sigset_t previous_;
#endif
    };

    bool isOpen() const { return readEnd_.isOpen(); }
    // The most that one fill() moves: the pipe's capacity, in bytes.
    size_t capacity() const { return capacity_; }
    // The bytes in the pipe, moved in and not yet out.
    size_t pending() const { return pending_; }

    // Moves what `socket` has to read, up to capacity(), into the (empty) pipe,
    // waiting as the socket's own reads do when it has nothing. Returns the
    // count, 0 at the end of the socket's stream, or -1 with errno set.
    long fill(const SocketHandle &socket);
    // Moves the pipe's bytes to `socket`, waiting as its own writes do while
    // its send buffer is full. Returns the count moved by this call (possibly
    // less than pending()), or -1 with errno set.
    long drain(const SocketHandle &socket);
    // Reads up to `size` of the pipe's bytes into `buffer`, for a target that
    // refuses splice(). Returns the count or -1 with errno set.
    long take(void *buffer, size_t size);

private:
    UniqueFd readEnd_;
    UniqueFd writeEnd_;
    size_t capacity_ = 0;
    size_t pending_ = 0;
};
