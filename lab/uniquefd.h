// Owner of one POSIX file descriptor (socket); closes it when destroyed.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

// Move-only holder of a descriptor. Not thread-safe by itself: the object
// that owns a UniqueFd decides which threads may use the descriptor, and it
// closes it (destroys or resets the holder) only after those threads are
// joined. Other threads are woken with shutdownBoth(), which does not close.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Gives up ownership without closing.
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

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
