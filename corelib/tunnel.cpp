#include "tunnel.h"

#include <cerrno>
#include <poll.h>

namespace {

constexpr unsigned ChunkSize = 8192;
constexpr unsigned DefaultWait = 1000;

// Moves one chunk from `from` to `to`; false when the relay must end.
bool forward(Socket &from, Socket &to, unsigned char *buffer)
{
    const int received = from.read(buffer, ChunkSize, false);
    if (received <= 0)
        return false;
    return to.write(buffer, static_cast<uint32_t>(received)) >= 0;
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
    pollfd waits[2] = {{handle1.descriptor(), POLLIN, 0}, {handle2.descriptor(), POLLIN, 0}};
    const nfds_t count = handle1 == handle2 ? 1 : 2;
    const int wait = static_cast<int>(selectTimeout ? selectTimeout : DefaultWait);
    unsigned char buffer[ChunkSize];

    while (isRunning()) {
        waits[0].revents = waits[1].revents = 0;
        const int ready = ::poll(waits, count, wait);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (ready == 0)
            continue;
        if (waits[0].revents && !forward(*endpoint1_, *endpoint2_, buffer))
            return;
        if (waits[count - 1].revents && !forward(*endpoint2_, *endpoint1_, buffer))
            return;
    }
}
