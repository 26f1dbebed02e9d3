// RemotePrinter's session with the WVT server: the gateway thread, the
// message loop, the password file and the printer tunnels.
#include "remoteprinter.h"

#include "bridgeservice.h"
#include "logmanager.h"
#include "platformposix.h"
#include "stringutils.h"

#include <vector>

namespace {

std::string socketError()
{
    return PlatformPosix::instance().getErrorString(1);
}

} // namespace

void RemotePrinter::stopGatewayThread(bool join)
{
    {
        std::lock_guard<std::mutex> lock(infoMutex_);
        if (const std::shared_ptr<Socket> socket = sessionSocket_.lock())
            socket->close();
    }
    std::shared_ptr<std::thread> thread;
    {
        std::lock_guard<std::mutex> lock(threadMutex_);
        if (!join) {
            gatewayThreadEnded_ = true;
            return;
        }
        thread = std::move(gatewayThread_);
        gatewayThreadEnded_ = false;
    }
    if (thread && thread->joinable())
        thread->join();
}

void RemotePrinter::runGatewayThread()
{
    PlatformPosix::instance().setThreadName("Gateway thread", nullptr);
    try {
        gatewayConnect();
    } catch (const std::exception &error) {
        ORVEL_LOG(Error, formatString("Gateway thread of '%s' failed: %s", addressToString(address_).c_str(),
                                      error.what()));
    }
    stopGatewayThread(false);
}

std::shared_ptr<Socket> RemotePrinter::openGatewayConnection(bool &viaGateway)
{
    viaGateway = false;
    std::shared_ptr<Socket> socket = service_->getServerConnection(&viaGateway);
    if (!socket)
        return nullptr;
    std::lock_guard<std::mutex> lock(infoMutex_);
    // The printer thread shuts the session down after clearing infoValid_; a
    // connection that comes later would not be shut down by it.
    if (!infoValid_) {
        socket->close();
        return nullptr;
    }
    sessionSocket_ = socket;
    return socket;
}

void RemotePrinter::gatewayConnect()
{
    // Tells the service that no server session works, unless the
    // registration went out; on every way out, exceptions included.
    struct ServerState {
        BridgeService *service;
        bool registered = false;
        ~ServerState()
        {
            if (!registered)
                service->setServerConnected(false);
        }
    } serverState{service_};

    bool viaGateway = false;
    const std::shared_ptr<Socket> socket = openGatewayConnection(viaGateway);
    if (!socket) {
        ORVEL_LOG(Warning, "Failed to open gateway connection");
        return;
    }
    socket->receiveTimeout = SessionReceiveTimeoutMs;
    socket->applyTimeouts();
    uint32_t peerAddress = 0;
    uint16_t peerPort = 0;
    if (!socket->getPeerEndpoint(peerAddress, peerPort)) {
        ORVEL_LOG(Error, "Internal error (Socket::getPeerEndpoint failed)");
        return;
    }

    SessionProtocol::GatewayRequest request;
    SessionProtocol::GatewayData data;
    std::string name;
    {
        std::lock_guard<std::mutex> lock(infoMutex_);
        if (!infoValid_)
            return;
        // A session that runs directly to the server has no gateway to show.
        gatewayAddress_ = viaGateway ? peerAddress : 0;
        gatewayPort_ = viaGateway ? peerPort : 0;
        request = SessionProtocol::registerRequest(info_);
        data = SessionProtocol::registrationData(info_, PlatformPosix::instance().getPlatformName());
        name = PrinterInfo::text(info_.name);
    }
    ORVEL_LOG(Info, formatString("Printer '%s' connected to gateway", name.c_str()));
    if (socket->write(request.data(), static_cast<uint32_t>(request.size())) < 1) {
        ORVEL_LOG(Debug, formatString("Printer '%s' request write error: %s", name.c_str(), socketError().c_str()));
        return;
    }
    if (socket->write(data.data(), static_cast<uint32_t>(data.size())) < 1) {
        ORVEL_LOG(Debug, formatString("Printer '%s' data write error: %s", name.c_str(), socketError().c_str()));
        return;
    }
    serverState.registered = true;

    int64_t lastPasswordVersion = -1;
    bool tolerateTimeout = true;
    bool serviceTold = false;
    while (isRunning()) {
        {
            std::lock_guard<std::mutex> lock(infoMutex_);
            if (!infoValid_)
                return;
        }
        purgeTunnels();
        const int result = socket->read(request.data(), static_cast<uint32_t>(request.size()), true);
        if (result == 0 && tolerateTimeout) {
            ORVEL_LOG(Debug, formatString("Printer '%s' gateway timeout", name.c_str()));
            tolerateTimeout = false;
            continue;
        }
        if (result <= 0) {
            ORVEL_LOG(Debug, formatString("Printer '%s' connection lost from gateway: %s", name.c_str(),
                                          socketError().c_str()));
            return;
        }
        tolerateTimeout = true;
        if (!serviceTold) {
            service_->setServerConnected(true);
            serviceTold = true;
        }
        switch (SessionProtocol::messageType(request)) {
        case SessionProtocol::WVT_OPEN_TUNNEL:
            openPrinterTunnel(peerAddress, peerPort, request);
            break;
        case SessionProtocol::WVT_SERVER_KEEPALIVE:
            if (!answerKeepAlive(*socket, request, lastPasswordVersion, name))
                return;
            break;
        default:
            break;
        }
    }
}

bool RemotePrinter::answerKeepAlive(Socket &socket, SessionProtocol::GatewayRequest &request,
                                    int64_t &lastPasswordVersion, const std::string &name)
{
    ORVEL_LOG(Debug, formatString("Printer '%s' WVT_SERVER_KEEPALIVE", name.c_str()));
    const int64_t version = SessionProtocol::passwordVersion(request);
    const bool wantsPasswords = version > lastPasswordVersion;
    if (wantsPasswords)
        lastPasswordVersion = version;
    {
        std::lock_guard<std::mutex> lock(infoMutex_);
        SessionProtocol::makeKeepAliveReply(
            request, wantsPasswords ? SessionProtocol::WVT_GET_PASSWORDS : SessionProtocol::WVT_KEEPALIVE_REPLY, info_);
    }
    if (socket.write(request.data(), static_cast<uint32_t>(request.size())) < 1) {
        ORVEL_LOG(Debug, formatString("Printer '%s' keep alive reply failure", name.c_str()));
        return false;
    }
    return !wantsPasswords || receivePasswordFile(socket, name);
}

bool RemotePrinter::receivePasswordFile(Socket &socket, const std::string &name)
{
    std::array<unsigned char, SessionProtocol::LengthSize> lengthField{};
    if (socket.read(lengthField.data(), static_cast<uint32_t>(lengthField.size()), true) < 1) {
        ORVEL_LOG(Debug, formatString("Printer '%s' get passwords reply failure (len)", name.c_str()));
        return false;
    }
    const uint32_t length = SessionProtocol::passwordLength(lengthField);
    if (length == 0)
        return true;
    // The bytes of a refused file are never read, so the stream cannot be
    // followed any further.
    if (length > SessionProtocol::MaxPasswordFileSize) {
        ORVEL_LOG(Warning, formatString("Printer '%s' get passwords reply refused: length %u above %u bytes",
                                        name.c_str(), length, SessionProtocol::MaxPasswordFileSize));
        return false;
    }
    std::vector<unsigned char> file(length);
    if (socket.read(file.data(), length, true) < 1) {
        ORVEL_LOG(Debug, formatString("Printer '%s' get passwords reply failure (data)", name.c_str()));
        return false;
    }
    if (updatePasswordFile(file.data(), length))
        ORVEL_LOG(Debug, formatString("Printer '%s' password file updated", name.c_str()));
    return true;
}

void RemotePrinter::openPrinterTunnel(uint32_t peerAddress, uint16_t peerPort,
                                      const SessionProtocol::GatewayRequest &request)
{
    std::shared_ptr<Tunnel> tunnel;
    uint32_t id = 0;
    {
        std::lock_guard<std::mutex> lock(tunnelMutex_);
        const std::shared_ptr<Socket> endpoint1 = service_->createSocket("Printer tunnel endpoint1");
        const std::shared_ptr<Socket> endpoint2 = service_->createSocket("Printer tunnel endpoint2");
        if (!endpoint1 || !endpoint2)
            return;
        endpoint1->receiveTimeout = TunnelReceiveTimeoutMs;
        endpoint2->receiveTimeout = TunnelReceiveTimeoutMs;
        id = nextTunnelId_++;
        tunnel = std::make_shared<Tunnel>(this, static_cast<int>(id), endpoint1, endpoint2);
        tunnel->selectTimeout = TunnelSelectTimeoutMs;
    }
    // Connecting applies the endpoints' time-outs.
    if (!tunnel->connect(peerAddress, peerPort, address_, SessionProtocol::tunnelPort(request)))
        return;
    if (tunnel->endpoint1()->write(request.data(), static_cast<uint32_t>(request.size())) < 1)
        return;
    std::shared_ptr<Tunnel> replaced;
    std::lock_guard<std::mutex> lock(tunnelMutex_);
    std::shared_ptr<Tunnel> &entry = tunnels_[id];
    replaced = std::move(entry);
    entry = tunnel;
    tunnel->start();
}

void RemotePrinter::purgeTunnels()
{
    std::vector<std::shared_ptr<Tunnel>> finished;
    {
        std::lock_guard<std::mutex> lock(tunnelMutex_);
        for (auto it = tunnels_.begin(); it != tunnels_.end();) {
            if (!it->second->isRunning()) {
                finished.push_back(std::move(it->second));
                it = tunnels_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Released here, with no lock held: a tunnel joins its thread as it goes.
}

void RemotePrinter::closeTunnels()
{
    std::unordered_map<uint32_t, std::shared_ptr<Tunnel>> tunnels;
    {
        std::lock_guard<std::mutex> lock(tunnelMutex_);
        tunnels.swap(tunnels_);
    }
    for (auto &entry : tunnels)
        entry.second->stop();
}

size_t RemotePrinter::tunnelCount() const
{
    std::lock_guard<std::mutex> lock(tunnelMutex_);
    return tunnels_.size();
}
