// RemotePrinter's session with the WVT server: the gateway thread, the
// message loop, the password file and the printer tunnels.
#include "remoteprinter.h"

#include "bridgeservice.h"
#include "logmanager.h"
#include "platform.h"
#include "sessionloop.h"
#include "stringutils.h"

#include <algorithm>
#include <ctime>
#include <vector>

namespace {

std::string socketError()
{
    return Platform::instance().getErrorString(1);
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
    Platform::instance().setThreadName("Gateway thread", nullptr);
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
    // registration went out, and marks a registered session ended; on every
    // way out, exceptions included.
    struct ServerState {
        RemotePrinter *printer;
        bool registered = false;
        ~ServerState()
        {
            try {
                if (registered)
                    printer->noteSession(false);
                else
                    printer->service_->setServerConnected(false);
            } catch (const std::exception &) {
                // Only a listener of the service's notification can throw here.
            }
        }
    } serverState{this};

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
        data = SessionProtocol::registrationData(info_, Platform::instance().getPlatformName());
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
    noteSession(true);

    // The session's messages, served over this socket for this printer.
    class Host : public SessionLoop::Host {
    public:
        Host(RemotePrinter &printer, Socket &socket, uint32_t peerAddress, uint16_t peerPort)
            : printer_(printer), socket_(socket), peerAddress_(peerAddress), peerPort_(peerPort)
        {
        }
        bool mayGoOn() override
        {
            if (!printer_.isRunning())
                return false;
            std::lock_guard<std::mutex> lock(printer_.infoMutex_);
            return printer_.infoValid_;
        }
        void beforeRead() override { printer_.purgeTunnels(); }
        int read(unsigned char *buffer, uint32_t size) override { return socket_.read(buffer, size, true); }
        bool write(const unsigned char *bytes, uint32_t size) override { return socket_.write(bytes, size) >= 1; }
        std::string errorText() override { return socketError(); }
        void serverAnswered() override { printer_.service_->setServerConnected(true); }
        void openTunnel(const SessionProtocol::GatewayRequest &request) override
        {
            printer_.openPrinterTunnel(peerAddress_, peerPort_, request);
        }
        void makeKeepAliveReply(SessionProtocol::GatewayRequest &request, int16_t type) override
        {
            std::lock_guard<std::mutex> lock(printer_.infoMutex_);
            SessionProtocol::makeKeepAliveReply(request, type, printer_.info_);
            printer_.lastKeepAlive_ = static_cast<int64_t>(std::time(nullptr));
        }
        bool deliverPasswordFile(const unsigned char *bytes, unsigned length) override
        {
            return printer_.updatePasswordFile(bytes, length);
        }

    private:
        RemotePrinter &printer_;
        Socket &socket_;
        const uint32_t peerAddress_;
        const uint16_t peerPort_;
    } host(*this, *socket, peerAddress, peerPort);
    SessionLoop(host, name).run();
}

void RemotePrinter::openPrinterTunnel(uint32_t peerAddress, uint16_t peerPort,
                                      const SessionProtocol::GatewayRequest &request)
{
    std::shared_ptr<Tunnel> tunnel;
    uint32_t id = 0;
    bool warn = false;
    {
        std::lock_guard<std::mutex> lock(tunnelMutex_);
        const auto running = std::count_if(tunnels_.begin(), tunnels_.end(),
                                           [](const auto &entry) { return entry.second->isRunning(); });
        if (static_cast<size_t>(running) >= MaxTunnels) {
            // Refused without a reply, like a tunnel that cannot connect;
            // warned of once until the count has fallen below the limit.
            warn = !tunnelsAtLimit_;
            tunnelsAtLimit_ = true;
        } else {
            tunnelsAtLimit_ = false;
            const std::shared_ptr<Socket> endpoint1 = service_->createSocket("Printer tunnel endpoint1");
            const std::shared_ptr<Socket> endpoint2 = service_->createSocket("Printer tunnel endpoint2");
            if (!endpoint1 || !endpoint2)
                return;
            endpoint1->receiveTimeout = TunnelReceiveTimeoutMs;
            endpoint2->receiveTimeout = TunnelReceiveTimeoutMs;
            id = nextTunnelId_++;
            tunnel = std::make_shared<Tunnel>(nullptr, static_cast<int>(id), endpoint1, endpoint2);
            tunnel->selectTimeout = TunnelSelectTimeoutMs;
        }
    }
    if (!tunnel) {
        if (warn)
            ORVEL_LOG(Warning, formatString("Printer '%s' reached its limit of %u tunnels, further tunnel requests "
                                            "are refused",
                                            getName().c_str(), static_cast<unsigned>(MaxTunnels)));
        return;
    }
    // Connecting applies the endpoints' time-outs. The server's side runs
    // TLS like the session when "server-tls" is on; the request goes inside.
    const std::shared_ptr<Socket> &server = tunnel->endpoint1();
    if (!server->connect(peerAddress, peerPort) || !service_->secureServerLink(*server) ||
        !tunnel->endpoint2()->connect(address_, SessionProtocol::tunnelPort(request)))
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

