#include "discoveryfinder.h"

#include "bridgeservice.h"
#include "discoveryparams.h"
#include "discoveryprotocol.h"
#include "logmanager.h"
#include "platform.h"
#include "stringutils.h"

#include <chrono>

namespace {

constexpr std::chrono::milliseconds PassLength(10000);
constexpr unsigned RepeatSeconds = 3;

std::string socketError()
{
    return Platform::instance().getErrorString(1);
}

} // namespace

DiscoveryFinder::DiscoveryFinder(BridgeService *service, uint32_t address, uint32_t broadcast, unsigned interfaceIndex)
    : IThread("class DiscoveryFinder"), service_(service), address_(address), broadcast_(broadcast),
      interfaceIndex_(interfaceIndex)
{
}

DiscoveryFinder::~DiscoveryFinder()
{
    join();
}

std::shared_ptr<Buffer> DiscoveryFinder::createPrintersDiscoveryRequest() const
{
    auto buffer = std::make_shared<Buffer>(1024);
    const unsigned char padding[DiscoveryProtocol::PrintersRequestPadding] = {};
    if (!DiscoveryProtocol::appendHeader(*buffer, DiscoveryProtocol::Request) ||
        buffer->append(padding, sizeof padding) != sizeof padding)
        return nullptr;
    return buffer;
}

std::shared_ptr<Buffer> DiscoveryFinder::createBridgesDiscoveryRequest() const
{
    const std::optional<uint16_t> port = service_->getGatewayPort();
    if (!port)
        return nullptr;
    auto buffer = std::make_shared<Buffer>(1024);
    if (!DiscoveryProtocol::appendHeader(*buffer, DiscoveryProtocol::Request))
        return nullptr;
    DiscoveryParams params;
    params.set("guid", service_->getInstanceGuid());
    params.set("gateway_port", formatString("%u", static_cast<unsigned>(*port)));
    const std::string text = params.toString();
    if (buffer->append(text.data(), static_cast<unsigned>(text.size())) != text.size())
        return nullptr;
    return buffer;
}

void DiscoveryFinder::onRun()
{
    try {
        runPass();
    } catch (const std::exception &error) {
        ORVEL_LOG(Error, formatString("Discovery on '%s' failed: %s", addressToString(address_).c_str(), error.what()));
    }
}

void DiscoveryFinder::runPass()
{
    // The registered socket owns the handle; when the service refuses to
    // register it (it is stopping), an unregistered one owns it instead, so
    // that the handle is closed at the end of the pass either way.
    SocketHandle handle = SocketHandle::createDatagram();
    std::shared_ptr<Socket> socket = service_->createSocket("DiscoveryFinder", handle);
    if (!socket)
        socket = std::make_shared<Socket>("DiscoveryFinder", handle);
    handle.release();

    const std::string address = addressToString(address_);
    const std::string broadcast = addressToString(broadcast_);
    if (address_ != 0) {
        ORVEL_LOG(Debug, formatString("Broadcast via '%s'", address.c_str()));
        if (!socket->bind(address_, 0)) {
            ORVEL_LOG(Warning, formatString("bind() failed on address '%s': %s", address.c_str(), socketError().c_str()));
            return;
        }
    }
    if (interfaceIndex_ != 0 && !socket->setOutgoingInterface(interfaceIndex_))
        ORVEL_LOG(Debug, formatString("Cannot tie the discovery of '%s' to its interface: %s", address.c_str(),
                                      socketError().c_str()));
    if (!socket->enableBroadcast()) {
        ORVEL_LOG(Warning, formatString("setsockopt(SO_BROADCAST) failed: %s", socketError().c_str()));
        return;
    }
    const std::shared_ptr<Buffer> printersRequest = createPrintersDiscoveryRequest();
    if (!printersRequest) {
        ORVEL_LOG(Warning, "Internal error (createPrintersDiscoveryRequest failed)");
        return;
    }
    const std::shared_ptr<Buffer> bridgesRequest = createBridgesDiscoveryRequest();
    Buffer received(DiscoveryProtocol::ReceiveSize);
    if (!received.grow(DiscoveryProtocol::ReceiveSize)) {
        ORVEL_LOG(Warning, "Failed to allocate response buffer");
        return;
    }

    // The pass is timed on the monotonic clock, to the millisecond: whole
    // seconds would make it last anything from 9 to 10 s, and so send four or
    // five requests by chance; the wall clock, set during a pass, would end
    // it at once or hold it for as long as the clock went back.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    unsigned waitSeconds = 0;
    for (;;) {
        if (Clock::now() - start >= PassLength || !service_->isRunning())
            return;
        const int ready = socket->waitReadable(waitSeconds * 1000);
        if (ready < 0) {
            ORVEL_LOG(Warning, formatString("select() failed: %s", socketError().c_str()));
            return;
        }
        if (ready == 0) {
            if (socket->sendTo(printersRequest->data(), printersRequest->length(), broadcast_,
                               DiscoveryProtocol::PrintersPort) <= 0) {
                ORVEL_LOG(Warning, formatString("Printers discovery request sendto() failed on address '%s' with "
                                                "broadcast '%s': %s",
                                                address.c_str(), broadcast.c_str(), socketError().c_str()));
                return;
            }
            if (bridgesRequest && socket->sendTo(bridgesRequest->data(), bridgesRequest->length(), broadcast_,
                                                 DiscoveryProtocol::BridgesPort) <= 0) {
                ORVEL_LOG(Warning, formatString("Bridges discovery request sendto() failed on address '%s' with "
                                                "broadcast '%s': %s",
                                                address.c_str(), broadcast.c_str(), socketError().c_str()));
                return;
            }
            waitSeconds = RepeatSeconds;
            continue;
        }
        uint32_t sender = 0;
        uint16_t senderPort = 0;
        const int length = socket->receiveFrom(received.data(), DiscoveryProtocol::ReceiveSize, sender, senderPort);
        if (length < 0) {
            ORVEL_LOG(Warning, formatString("recvfrom() failed: %s", socketError().c_str()));
            return;
        }
        handleDatagram(received.data(), length, sender);
    }
}

void DiscoveryFinder::handleDatagram(const unsigned char *datagram, int length, uint32_t sender)
{
    const size_t size = static_cast<size_t>(length);
    switch (DiscoveryProtocol::answerKind(datagram, size)) {
    case DiscoveryProtocol::AnswerKind::TooShort:
        ORVEL_LOG(Warning, formatString("Invalid discovery response: expected at least %d bytes, got %d bytes",
                                        static_cast<int>(DiscoveryProtocol::HeaderSize), length));
        break;
    case DiscoveryProtocol::AnswerKind::Printer:
        service_->addPrinter(sender, false, true);
        break;
    case DiscoveryProtocol::AnswerKind::Bridge: {
        const std::string guid = DiscoveryProtocol::bridgeGuid(datagram, size);
        if (!guid.empty())
            service_->addSlave(guid, sender);
        break;
    }
    case DiscoveryProtocol::AnswerKind::Foreign:
        break;
    }
}
