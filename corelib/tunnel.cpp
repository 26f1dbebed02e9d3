#include "tunnel.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

namespace {

constexpr unsigned ChunkSize = 8192;
constexpr unsigned DefaultWait = 1000;

static_assert(4 * 2 * Tunnel::SocketBufferBytes + 2 * SplicePipe::DefaultCapacity <= Tunnel::HeldBytesBound,
              "a stalled relay must stay within its bound");

enum class Forwarded { Chunk, EndOfStream, Failed, Refused };

// Moves one chunk from `from` to `to` through `buffer`.
Forwarded forward(Socket &from, Socket &to, unsigned char *buffer)
{
    bool endOfStream = false;
    const int received = from.read(buffer, ChunkSize, false, &endOfStream);
    if (received <= 0)
        return endOfStream ? Forwarded::EndOfStream : Forwarded::Failed;
    return to.write(buffer, static_cast<uint32_t>(received)) >= 0 ? Forwarded::Chunk : Forwarded::Failed;
}

// The errors by which the kernel says splice() does not work for a descriptor.
bool refusesSplice(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ESPIPE;
}

// Moves one pipeful from `from` to `to` through `pipe`. Refused, with nothing
// moved, when the kernel will not splice from the source; a target that will
// not take spliced bytes gets the pipe's rest through `buffer`, and `refused`
// is set so that the tunnel copies from then on.
Forwarded spliceForward(const SocketHandle &from, const SocketHandle &to, Socket &target, SplicePipe &pipe,
                        unsigned char *buffer, bool &refused)
{
    const ssize_t moved = pipe.fill(from.descriptor());
    if (moved == 0)
        // A socket closed by stop() reads as an end too: that is a failure.
        return from.isOpen() ? Forwarded::EndOfStream : Forwarded::Failed;
    if (moved < 0)
        return refusesSplice(errno) ? Forwarded::Refused : Forwarded::Failed;
    while (pipe.pending() > 0) {
        const ssize_t sent = pipe.drain(to.descriptor());
        if (sent > 0)
            continue;
        if (sent == 0 || !refusesSplice(errno))
            return Forwarded::Failed;
        refused = true;
        while (pipe.pending() > 0) {
            const ssize_t taken = pipe.take(buffer, ChunkSize);
            if (taken <= 0 || target.write(buffer, static_cast<uint32_t>(taken)) < 0)
                return Forwarded::Failed;
        }
    }
    return Forwarded::Chunk;
}

// splice() cannot be given MSG_NOSIGNAL, so a pipe drained into a socket whose
// peer has gone raises SIGPIPE at the relay thread. While it lives, this
// keeps that signal blocked on the calling thread; at its end it discards the
// ones that came and restores the thread's mask.
class SigpipeBlock {
public:
    SigpipeBlock()
    {
        sigemptyset(&set_);
        sigaddset(&set_, SIGPIPE);
        blocked_ = ::pthread_sigmask(SIG_BLOCK, &set_, &previous_) == 0;
    }
    ~SigpipeBlock()
    {
        if (!blocked_)
            return;
        const timespec now{0, 0};
        while (::sigtimedwait(&set_, nullptr, &now) == SIGPIPE) {
        }
        ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock &) = delete;
    SigpipeBlock &operator=(const SigpipeBlock &) = delete;

private:
    sigset_t set_;
    sigset_t previous_;
    bool blocked_ = false;
};

// Caps the kernel's send and receive buffers of a relay socket; without a cap
// the kernel grows them to megabytes when a peer stops reading.
void boundBuffers(const SocketHandle &handle)
{
    const int size = Tunnel::SocketBufferBytes;
    ::setsockopt(handle.descriptor(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(handle.descriptor(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

} // namespace

Tunnel::Tunnel(Listener *listener, int id, std::shared_ptr<Socket> endpoint1, std::shared_ptr<Socket> endpoint2)
    : IThread("class Tunnel"), listener_(listener), id_(id),
      endpoint1_(endpoint1 ? std::move(endpoint1) : std::make_shared<Socket>("Tunnel endpoint1")),
      endpoint2_(endpoint2 ? std::move(endpoint2) : std::make_shared<Socket>("Tunnel endpoint2"))
{
}

Tunnel::~Tunnel()
{
    join();
}

bool Tunnel::connect(uint32_t address1, uint16_t port1, uint32_t address2, uint16_t port2)
{
    return endpoint1_->connect(address1, port1) && endpoint2_->connect(address2, port2);
}

void Tunnel::stop()
{
    endpoint1_->close();
    endpoint2_->close();
    IThread::stop();
}

void Tunnel::onRun()
{
    relay();
    if (listener_)
        listener_->onTunnelClosed(id_);
    endpoint1_->close();
    endpoint2_->close();
}

void Tunnel::relay()
{
    // Holding the handles keeps both descriptor numbers valid while we wait
    // on them, even when another thread closes the sockets.
    const SocketHandle handle1 = endpoint1_->sharedHandle();
    const SocketHandle handle2 = endpoint2_->sharedHandle();
    if (!handle1.isOpen() || !handle2.isOpen())
        return;
    boundBuffers(handle1);
    if (!(handle2 == handle1))
        boundBuffers(handle2);
    // One entry per direction that is still open, indexed by its source; a
    // direction whose source ended its stream is left out of the wait (-1).
    pollfd waits[2] = {{handle1.descriptor(), POLLIN, 0}, {handle2.descriptor(), POLLIN, 0}};
    Socket *const sources[2] = {endpoint1_.get(), endpoint2_.get()};
    Socket *const targets[2] = {endpoint2_.get(), endpoint1_.get()};
    const SocketHandle *const sourceHandles[2] = {&handle1, &handle2};
    const SocketHandle *const targetHandles[2] = {&handle2, &handle1};
    SplicePipe *const pipes[2] = {&toEndpoint2_, &toEndpoint1_};
    bool splicing = zeroCopy && toEndpoint2_.isOpen() && toEndpoint1_.isOpen();
    copies_ = !splicing;
    const SigpipeBlock sigpipeBlock;
    const nfds_t count = handle1 == handle2 ? 1 : 2;
    const int wait = static_cast<int>(selectTimeout ? selectTimeout : DefaultWait);
    unsigned char buffer[ChunkSize];
    // Once one direction has ended, the other may stay silent only for its
    // source's receive time-out (0: for ever).
    bool halfClosed = false;
    auto lastChunk = std::chrono::steady_clock::now();

    while (isRunning()) {
        waits[0].revents = waits[1].revents = 0;
        const int ready = ::poll(waits, count, wait);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (ready == 0) {
            if (halfClosed) {
                const Socket &remaining = *sources[waits[0].fd < 0 ? 1 : 0];
                if (remaining.receiveTimeout != 0 &&
                    std::chrono::steady_clock::now() - lastChunk >= std::chrono::milliseconds(remaining.receiveTimeout))
                    return;
            }
            continue;
        }
        for (nfds_t direction = 0; direction < count; ++direction) {
            if (waits[direction].fd < 0 || waits[direction].revents == 0)
                continue;
            Forwarded result = Forwarded::Refused;
            if (splicing) {
                bool refused = false;
                result = spliceForward(*sourceHandles[direction], *targetHandles[direction], *targets[direction],
                                       *pipes[direction], buffer, refused);
                splicing = !refused && result != Forwarded::Refused;
                copies_ = !splicing;
            }
            if (result == Forwarded::Refused)
                result = forward(*sources[direction], *targets[direction], buffer);
            switch (result) {
            case Forwarded::Chunk:
                lastChunk = std::chrono::steady_clock::now();
                break;
            case Forwarded::Failed:
            case Forwarded::Refused:
                return;
            case Forwarded::EndOfStream:
                // Pass the end on and keep relaying the other way, so that an
                // answer to a half-closed request still arrives.
                if (count == 1 || halfClosed)
                    return;
                targets[direction]->shutdownSend();
                waits[direction].fd = -1;
                halfClosed = true;
                lastChunk = std::chrono::steady_clock::now();
                break;
            }
        }
    }
}
