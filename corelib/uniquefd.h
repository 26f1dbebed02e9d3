#pragma once

#include <unistd.h>
#include <utility>

// The one owner of a POSIX descriptor (a pipe's end, the number inside a
// SocketHandle, a socket of the Linux relay benchmark): it closes the
// descriptor exactly once, when the owner is destroyed, reset or assigned
// another. Move-only, so that a number has one owner at a time; get() lends
// the number for as long as the owner lives.
//
// Not synchronised: whoever holds the owner decides which threads use the
// descriptor and lets it go only after they are done. A socket on which
// several threads block is shared through SocketHandle instead, whose last
// copy frees the number through this type. On Windows, where sockets are
// SOCKET handles of the socket layer, only the pipe-less fallbacks include it.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int descriptor) noexcept : descriptor_(descriptor) {}
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

    // The number, or -1 when the owner holds none.
    int get() const noexcept { return descriptor_; }
    bool isOpen() const noexcept { return descriptor_ >= 0; }

    // Hands the number over without closing it; the owner then holds none.
    int release() noexcept { return std::exchange(descriptor_, -1); }

    // Closes the number held (if any) and holds `descriptor` instead.
    void reset(int descriptor = -1) noexcept
    {
        const int previous = std::exchange(descriptor_, descriptor);
        if (previous >= 0)
            ::close(previous);
    }

private:
    int descriptor_ = -1;
};
