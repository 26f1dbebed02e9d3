#include "tunnelrelay.h"

#include "loopback.h"
#include "socket.h"

TunnelRelay::~TunnelRelay()
{
    stop();
}

bool TunnelRelay::start(uint16_t targetPort, int, std::string &problem)
{
    targetPort_ = targetPort;
    return listener_.start([this](UniqueFd connection) { join(std::move(connection)); }, problem);
}

void TunnelRelay::join(UniqueFd connection)
{
    // Runs on the accepting thread. A connection that cannot be joined is
    // closed, and its client sees the missing ready byte.
    auto client = std::make_shared<Socket>("relay client side", SocketHandle::adopt(connection.release()));
    client->receiveTimeout = ReceiveTimeoutMs;
    client->applyTimeouts();
    std::shared_ptr<Socket> sink = connectSink();
    if (!sink)
        return;

    std::lock_guard<std::mutex> lock(mutex_);
    auto tunnel = std::make_shared<Tunnel>(nullptr, nextId_++, client, sink);
    tunnel->selectTimeout = SelectTimeoutMs;
    if (tunnel->start())
        tunnels_.push_back(std::move(tunnel));
}

std::shared_ptr<Socket> TunnelRelay::connectSink()
{
    auto sink = std::make_shared<Socket>("relay sink side");
    sink->receiveTimeout = ReceiveTimeoutMs;
    if (!sink->connect(Loopback::Address, targetPort_))
        return nullptr;
    return sink;
}

void TunnelRelay::stop()
{
    listener_.stop();
    std::vector<std::shared_ptr<Tunnel>> tunnels;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tunnels.swap(tunnels_);
    }
    for (const auto &tunnel : tunnels)
        tunnel->stop();
}
