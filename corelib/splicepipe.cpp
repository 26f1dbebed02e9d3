#include "splicepipe.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#ifdef __linux__

SplicePipe::SplicePipe(int capacity)
{
    int ends[2];
    // Non-blocking ends: the relay only fills an empty pipe and drains a
    // non-empty one, so a pipe wait would be a fault, never a thing to wait for.
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    readEnd_ = ends[0];
    writeEnd_ = ends[1];
    // Over the per-user pipe quota the kernel refuses to grow a pipe; the
    // pipe then keeps the size it was given, which still works.
    ::fcntl(writeEnd_, F_SETPIPE_SZ, capacity);
    const int size = ::fcntl(writeEnd_, F_GETPIPE_SZ);
    capacity_ = size > 0 ? static_cast<size_t>(size) : 4096;
}

SplicePipe::~SplicePipe()
{
    if (readEnd_ >= 0)
        ::close(readEnd_);
    if (writeEnd_ >= 0)
        ::close(writeEnd_);
}

ssize_t SplicePipe::fill(int socket)
{
    for (;;) {
        const ssize_t moved =
            ::splice(socket, nullptr, writeEnd_, nullptr, capacity_ - pending_, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved > 0)
            pending_ += static_cast<size_t>(moved);
        return moved;
    }
}

ssize_t SplicePipe::drain(int socket)
{
    for (;;) {
        const ssize_t moved =
            ::splice(readEnd_, nullptr, socket, nullptr, pending_, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved > 0)
            pending_ -= static_cast<size_t>(moved);
        return moved;
    }
}

ssize_t SplicePipe::take(void *buffer, size_t size)
{
    for (;;) {
        const ssize_t taken = ::read(readEnd_, buffer, size < pending_ ? size : pending_);
        if (taken < 0 && errno == EINTR)
            continue;
        if (taken > 0)
            pending_ -= static_cast<size_t>(taken);
        return taken;
    }
}

#else

SplicePipe::SplicePipe(int) {}
SplicePipe::~SplicePipe() = default;

ssize_t SplicePipe::fill(int)
{
    errno = ENOSYS;
    return -1;
}

ssize_t SplicePipe::drain(int)
{
    errno = ENOSYS;
    return -1;
}

ssize_t SplicePipe::take(void *, size_t)
{
    errno = ENOSYS;
    return -1;
}

#endif
