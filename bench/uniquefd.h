#pragma once

#include <sys/socket.h>
#include <unistd.h>

// Move-only owner of one POSIX descriptor; closes it when destroyed. The code
// that owns a UniqueFd closes it only after every thread using it is done;
// shutdownBoth() wakes such threads without closing.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int descriptor) : descriptor_(descriptor) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd &&other) noexcept : descriptor_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return descriptor_; }
    bool valid() const { return descriptor_ >= 0; }

    // Gives up ownership without closing.
    int release()
    {
        const int descriptor = descriptor_;
        descriptor_ = -1;
        return descriptor;
    }

    // Closes the held descriptor (if any) and holds `descriptor` instead.
    void reset(int descriptor = -1)
    {
        if (descriptor_ >= 0)
            ::close(descriptor_);
        descriptor_ = descriptor;
    }

    // Wakes every thread blocked on the socket (accept, recv, send).
    void shutdownBoth() const
    {
        if (descriptor_ >= 0)
            ::shutdown(descriptor_, SHUT_RDWR);
    }

private:
    int descriptor_ = -1;
};
