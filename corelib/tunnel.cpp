#include "tunnel.h"

#include "tlsstream.h"

#include <cerrno>
#include <chrono>

namespace {

constexpr unsigned ChunkSize = 8192;
constexpr unsigned DefaultWait = 1000;

static_assert(4 * 2 * Tunnel::SocketBufferBytes + 2 * SplicePipe::DefaultCapacity <= Tunnel::HeldBytesBound,
              "a stalled relay must stay within its bound");
// A relay with a TLS side copies (its pipes stay empty) and holds up to two
// streams' own buffers instead.
static_assert(4 * 2 * Tunnel::SocketBufferBytes + 2 * TlsStream::HeldBytesBound <= Tunnel::HeldBytesBound,
              "a stalled relay with TLS sides must stay within its bound");

enum class Forwarded { Chunk, Nothing, EndOfStream, Failed, Refused };

// Moves one chunk from a TLS source to `to` through `buffer`; a record that
// carried no data moves nothing.
Forwarded forwardTls(TlsStream &from, Socket &source, Socket &to, unsigned char *buffer)
{
    bool timedOut = false;
    const long received = from.read(buffer, ChunkSize, timedOut);
    if (received == TlsStream::NothingYet)
        return Forwarded::Nothing;
    if (received == 0)
        return source.sharedHandle().isOpen() ? Forwarded::EndOfStream : Forwarded::Failed;
    if (received < 0)
        return Forwarded::Failed;
    return to.write(buffer, static_cast<uint32_t>(received)) >= 0 ? Forwarded::Chunk : Forwarded::Failed;
}

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
    const long moved = pipe.fill(from);
    if (moved == 0)
        // A socket closed by stop() reads as an end too: that is a failure.
        return from.isOpen() ? Forwarded::EndOfStream : Forwarded::Failed;
    if (moved < 0)
        return refusesSplice(errno) ? Forwarded::Refused : Forwarded::Failed;
    while (pipe.pending() > 0) {
        const long sent = pipe.drain(to);
        if (sent > 0)
            continue;
        if (sent == 0 || !refusesSplice(errno))
            return Forwarded::Failed;
        refused = true;
        while (pipe.pending() > 0) {
            const long taken = pipe.take(buffer, ChunkSize);
            if (taken <= 0 || target.write(buffer, static_cast<uint32_t>(taken)) < 0)
                return Forwarded::Failed;
        }
    }
    return Forwarded::Chunk;
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
    handle1.setBufferSizes(SocketBufferBytes);
    if (!(handle2 == handle1))
        handle2.setBufferSizes(SocketBufferBytes);
    // Indexed by the direction's source; a direction whose source ended its
    // stream is left out of the wait.
    bool open[2] = {true, true};
    Socket *const sources[2] = {endpoint1_.get(), endpoint2_.get()};
    Socket *const targets[2] = {endpoint2_.get(), endpoint1_.get()};
    const SocketHandle *const sourceHandles[2] = {&handle1, &handle2};
    const SocketHandle *const targetHandles[2] = {&handle2, &handle1};
    SplicePipe *const pipes[2] = {&toEndpoint2_, &toEndpoint1_};
    // A TLS side's bytes must pass through user memory to be decrypted or
    // encrypted, and its stream may hold decrypted bytes the socket no
    // longer shows as readable: those count as readable without a wait.
    const std::shared_ptr<TlsStream> streams[2] = {endpoint1_->tlsStream(), endpoint2_->tlsStream()};
    bool splicing = zeroCopy && !streams[0] && !streams[1] && toEndpoint2_.isOpen() && toEndpoint1_.isOpen();
    copies_ = !splicing;
    const SplicePipe::SignalGuard signalGuard;
    const size_t count = handle1 == handle2 ? 1 : 2;
    const int wait = static_cast<int>(selectTimeout ? selectTimeout : DefaultWait);
    unsigned char buffer[ChunkSize];
    // Once one direction has ended, the other may stay silent only for its
    // source's receive time-out (0: for ever).
    bool halfClosed = false;
    auto lastChunk = std::chrono::steady_clock::now();

    while (isRunning()) {
        const SocketHandle *waited[2];
        size_t directions[2];
        size_t waitedCount = 0;
        for (size_t direction = 0; direction < count; ++direction) {
            if (open[direction]) {
                directions[waitedCount] = direction;
                waited[waitedCount++] = sourceHandles[direction];
            }
        }
        bool buffered[2] = {false, false};
        bool anyBuffered = false;
        for (size_t index = 0; index < waitedCount; ++index) {
            const std::shared_ptr<TlsStream> &stream = streams[directions[index]];
            buffered[index] = stream && stream->pending() > 0;
            anyBuffered = anyBuffered || buffered[index];
        }
        bool readable[2] = {false, false};
        int ready = SocketHandle::waitReadable(waited, waitedCount, anyBuffered ? 0 : wait, readable);
        if (ready < 0)
            return;
        for (size_t index = 0; index < waitedCount; ++index) {
            if (buffered[index] && !readable[index]) {
                readable[index] = true;
                ++ready;
            }
        }
        if (ready == 0) {
            if (halfClosed) {
                const Socket &remaining = *sources[open[0] ? 0 : 1];
                if (remaining.receiveTimeout != 0 &&
                    std::chrono::steady_clock::now() - lastChunk >= std::chrono::milliseconds(remaining.receiveTimeout))
                    return;
            }
            continue;
        }
        for (size_t index = 0; index < waitedCount; ++index) {
            if (!readable[index])
                continue;
            const size_t direction = directions[index];
            Forwarded result = Forwarded::Refused;
            if (splicing) {
                bool refused = false;
                result = spliceForward(*sourceHandles[direction], *targetHandles[direction], *targets[direction],
                                       *pipes[direction], buffer, refused);
                splicing = !refused && result != Forwarded::Refused;
                copies_ = !splicing;
            }
            if (result == Forwarded::Refused)
                result = streams[direction]
                             ? forwardTls(*streams[direction], *sources[direction], *targets[direction], buffer)
                             : forward(*sources[direction], *targets[direction], buffer);
            switch (result) {
            case Forwarded::Chunk:
                lastChunk = std::chrono::steady_clock::now();
                break;
            case Forwarded::Nothing:
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
                open[direction] = false;
                halfClosed = true;
                lastChunk = std::chrono::steady_clock::now();
                break;
            }
        }
    }
}
