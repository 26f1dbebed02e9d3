// Owner of one POSIX file descriptor (socket); closes it when destroyed.
// The simulator's own copy of corelib/uniquefd.h: it builds and runs without the product's code, which it tests.
#pragma once

#include <sys/socket.h>
#include <unistd.h>
#include <utility>

// Move-only holder of a descriptor. Not thread-safe by itself: the object
// that owns a UniqueFd decides which threads may use the descriptor, and it
// closes it (destroys or resets the holder) only after those threads are
// joined. Other threads are woken with shutdownBoth(), which does not close.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }

    // Moves swap; an assigned holder's old descriptor closes with the argument.
    UniqueFd(UniqueFd&& other) noexcept { std::swap(fd_, other.fd_); }
    UniqueFd& operator=(UniqueFd other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Closes the held descriptor (if any) and takes ownership of fd.
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

    // Wakes every thread blocked on the socket (accept, recv, send).
    void shutdownBoth() const
    {
        if (fd_ >= 0)
            ::shutdown(fd_, SHUT_RDWR);
    }

private:
    int fd_ = -1;
};
