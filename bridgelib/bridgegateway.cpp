#include "bridgegateway.h"

#include "bridgeservice.h"
#include "exception.h"
#include "logmanager.h"
#include "tunnel.h"

BridgeGateway::BridgeGateway(BridgeService *service) : ISocketServer(std::string()), service_(service)
{
    maxConnections = MaxConnections;
    listenerName = "Gateway";
}

BridgeGateway::BridgeGateway(const BridgeGateway &other)
    : ISocketServer(other), service_(other.service_), activity_(other.service_->acquireActivity())
{
}

std::shared_ptr<IClonable> BridgeGateway::clone() const
{
    return std::make_shared<BridgeGateway>(*this);
}

void BridgeGateway::onRun()
{
    const std::shared_ptr<Socket> client = service_->createSocket("BridgeGateway - client", sharedHandle());
    if (!client)
        THROW_EXCEPTION("internal error (clientSocket is null)");
    takeHandle();

    // Plain TCP: the slave's bytes, TLS or not, pass through unchanged.
    const std::shared_ptr<Socket> server = service_->updateServerState(true);
    if (!server) {
        ORVEL_LOG(Error, "Failed to create gateway's tunnel (server connection failed)");
        return;
    }
    // The slave's side keeps no time-out: a quiet session is still a session.
    server->receiveTimeout = ServerReceiveTimeoutMs;
    server->applyTimeouts();

    const auto tunnel = std::make_shared<Tunnel>(nullptr, 0, client, server);
    tunnel->selectTimeout = RelayWaitMs;
    if (tunnel->start())
        tunnel->join();
}
