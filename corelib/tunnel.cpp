#include "tunnel.h"

#include <cerrno>
#include <chrono>
#include <poll.h>

namespace {

constexpr unsigned ChunkSize = 8192;
constexpr unsigned DefaultWait = 1000;

enum class Forwarded { Chunk, EndOfStream, Failed };

// Moves one chunk from `from` to `to`.
Forwarded forward(Socket &from, Socket &to, unsigned char *buffer)
{
    bool endOfStream = false;
    const int received = from.read(buffer, ChunkSize, false, &endOfStream);
    if (received <= 0)
        return endOfStream ? Forwarded::EndOfStream : Forwarded::Failed;
    return to.write(buffer, static_cast<uint32_t>(received)) >= 0 ? Forwarded::Chunk : Forwarded::Failed;
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
    // One entry per direction that is still open, indexed by its source; a
    // direction whose source ended its stream is left out of the wait (-1).
    pollfd waits[2] = {{handle1.descriptor(), POLLIN, 0}, {handle2.descriptor(), POLLIN, 0}};
    Socket *const sources[2] = {endpoint1_.get(), endpoint2_.get()};
    Socket *const targets[2] = {endpoint2_.get(), endpoint1_.get()};
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
            switch (forward(*sources[direction], *targets[direction], buffer)) {
            case Forwarded::Chunk:
                lastChunk = std::chrono::steady_clock::now();
                break;
            case Forwarded::Failed:
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
