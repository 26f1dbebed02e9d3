#include "discoveryresponder.h"

#include "bridgeservice.h"
#include "discoveryparams.h"
#include "discoveryprotocol.h"
#include "exception.h"
#include "gatewayinfo.h"
#include "logmanager.h"
#include "platform.h"
#include "stringutils.h"

#include <cerrno>

namespace {

constexpr unsigned WaitMs = 3000;

std::string socketError()
{
    return Platform::instance().getErrorString(1);
}

} // namespace

DiscoveryResponder::DiscoveryResponder(BridgeService *service) : ISocketServer(std::string()), service_(service) {}

DiscoveryResponder::DiscoveryResponder(const DiscoveryResponder &other)
    : ISocketServer(other), service_(other.service_), activity_(other.service_->acquireActivity())
{
}

std::shared_ptr<IClonable> DiscoveryResponder::clone() const
{
    return std::make_shared<DiscoveryResponder>(*this);
}

void DiscoveryResponder::onRun()
{
    const std::shared_ptr<Socket> socket = service_->createSocket("DiscoveryResponder", sharedHandle());
    if (!socket)
        THROW_EXCEPTION("internal error (broadcastSocket is null)");
    takeHandle();

    Buffer received(DiscoveryProtocol::ReceiveSize);
    if (!received.grow(DiscoveryProtocol::ReceiveSize)) {
        ORVEL_LOG(Warning, "Failed to allocate response buffer");
        return;
    }
    while (service_->isRunning()) {
        const int ready = socket->waitReadable(WaitMs);
        if (ready == 0)
            continue;
        uint32_t sender = 0;
        uint16_t senderPort = 0;
        const int length =
            ready < 0 ? -1 : socket->receiveFrom(received.data(), DiscoveryProtocol::ReceiveSize, sender, senderPort);
        if (length < 0) {
            ORVEL_LOG(Warning, formatString("recvfrom() failed: %s", socketError().c_str()));
            return;
        }
        const size_t size = static_cast<size_t>(length);
        const DiscoveryProtocol::RequestKind kind = DiscoveryProtocol::requestKind(received.data(), size);
        if (kind == DiscoveryProtocol::RequestKind::TooShort) {
            ORVEL_LOG(Warning, formatString("Invalid discovery request: expected at least %d bytes, got %d bytes",
                                            static_cast<int>(DiscoveryProtocol::HeaderSize), length));
            continue;
        }
        if (kind != DiscoveryProtocol::RequestKind::Request)
            continue;
        const std::string from = addressToString(sender);
        ORVEL_LOG(Debug, formatString("Discovery request received from '%s'", from.c_str()));
        handleRequest(sender, received.data() + DiscoveryProtocol::HeaderSize, size - DiscoveryProtocol::HeaderSize);

        Buffer response(1024);
        if (createResponse(response) &&
            socket->sendTo(response.data(), response.length(), sender, senderPort) < 1)
            ORVEL_LOG(Warning, formatString("Failed to send discovery response to %s: %s", from.c_str(),
                                            socketError().c_str()));
    }
}

bool DiscoveryResponder::handleRequest(uint32_t sender, const unsigned char *payload, size_t length)
{
    gateway_info_t info;
    if (!DiscoveryProtocol::gatewayOfRequest(payload, length, info.guid, info.port))
        return true;
    info.address = sender;
    service_->addGateway(info);
    return true;
}

bool DiscoveryResponder::createResponse(Buffer &buffer) const
{
    if (!DiscoveryProtocol::appendHeader(buffer, DiscoveryProtocol::BridgeResponse))
        return false;
    DiscoveryParams params;
    params.set("guid", service_->getInstanceGuid());
    const std::string text = params.toString();
    return buffer.append(text.data(), static_cast<unsigned>(text.size())) == text.size();
}
