#include "splicepipe.h"

#include <cerrno>

#ifdef __linux__

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

SplicePipe::SignalGuard::SignalGuard()
{
    sigemptyset(&set_);
    sigaddset(&set_, SIGPIPE);
    blocked_ = ::pthread_sigmask(SIG_BLOCK, &set_, &previous_) == 0;
}

SplicePipe::SignalGuard::~SignalGuard()
{
    if (!blocked_)
        return;
    const timespec now{0, 0};
    while (::sigtimedwait(&set_, nullptr, &now) == SIGPIPE) {
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

SplicePipe::SplicePipe(int capacity)
{
    int ends[2];
    // Non-blocking ends: the relay only fills an empty pipe and drains a
    // non-empty one, so a pipe wait would be a fault, never a thing to wait for.
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    readEnd_.reset(ends[0]);
    writeEnd_.reset(ends[1]);
    // Over the per-user pipe quota the kernel refuses to grow a pipe; the
    // pipe then keeps the size it was given, which still works.
    ::fcntl(writeEnd_.get(), F_SETPIPE_SZ, capacity);
    const int size = ::fcntl(writeEnd_.get(), F_GETPIPE_SZ);
    capacity_ = size > 0 ? static_cast<size_t>(size) : 4096;
}

long SplicePipe::fill(const SocketHandle &socket)
{
    for (;;) {
        const ssize_t moved =
            ::splice(static_cast<int>(socket.descriptor()), nullptr, writeEnd_.get(), nullptr, capacity_ - pending_, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved > 0)
            pending_ += static_cast<size_t>(moved);
        return moved;
    }
}

long SplicePipe::drain(const SocketHandle &socket)
{
    for (;;) {
        const ssize_t moved =
            ::splice(readEnd_.get(), nullptr, static_cast<int>(socket.descriptor()), nullptr, pending_, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved > 0)
            pending_ -= static_cast<size_t>(moved);
        return moved;
    }
}

long SplicePipe::take(void *buffer, size_t size)
{
    for (;;) {
        const ssize_t taken = ::read(readEnd_.get(), buffer, size < pending_ ? size : pending_);
        if (taken < 0 && errno == EINTR)
            continue;
        if (taken > 0)
            pending_ -= static_cast<size_t>(taken);
        return taken;
    }
}

#else

// No splice() here: the pipe never opens, and the relay copies instead.
SplicePipe::SignalGuard::SignalGuard() = default;
SplicePipe::SignalGuard::~SignalGuard() = default;

SplicePipe::SplicePipe(int) {}

long SplicePipe::fill(const SocketHandle &)
{
    errno = ENOSYS;
    return -1;
}

long SplicePipe::drain(const SocketHandle &)
{
    errno = ENOSYS;
    return -1;
}

long SplicePipe::take(void *, size_t)
{
    errno = ENOSYS;
    return -1;
}

#endif
