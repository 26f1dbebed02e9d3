#include "discoveryresponder.h"

#include "bridgeservice.h"
#include "discoveryparams.h"
#include "discoveryprotocol.h"
#include "exception.h"
#include "gatewayinfo.h"
#include "logmanager.h"
#include "platformposix.h"
#include "stringutils.h"

#include <cerrno>
#include <cstdlib>

namespace {

constexpr unsigned WaitMs = 3000;

std::string socketError()
{
    return PlatformPosix::instance().getErrorString(1);
}

// A decimal unsigned 16-bit number; anything else gives 0.
uint16_t parsePort(const std::string &text)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    return value > 65535 ? 0 : static_cast<uint16_t>(value);
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
        if (size < DiscoveryProtocol::HeaderSize) {
            ORVEL_LOG(Warning, formatString("Invalid discovery request: expected at least %d bytes, got %d bytes",
                                            static_cast<int>(DiscoveryProtocol::HeaderSize), length));
            continue;
        }
        if (!DiscoveryProtocol::hasVendorTag(received.data(), size) ||
            !DiscoveryProtocol::isKind(received.data(), size, DiscoveryProtocol::Request, 5))
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
    if (!payload || length == 0)
        return true;
    const DiscoveryParams params(std::string(reinterpret_cast<const char *>(payload), length));
    const std::string guid = params.get("guid");
    const std::string port = params.get("gateway_port");
    if (guid.empty() || port.empty())
        return true;
    gateway_info_t info;
    info.guid = guid;
    info.address = sender;
    info.port = parsePort(port);
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
