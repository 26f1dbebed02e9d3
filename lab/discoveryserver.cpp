#include "discoveryserver.h"

#include "socketio.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace {

const char kVendorTag[] = "Kestova";
const std::size_t kHeaderSize = 16;

// The kind text of bytes 8-15 up to the first NUL, or "?" when the datagram
// is too short or does not carry the vendor tag.
std::string kindOf(const std::uint8_t* data, std::size_t size)
{
    if (size < kHeaderSize || std::memcmp(data, kVendorTag, 7) != 0)
        return "?";
    std::size_t n = 0;
    while (n < 8 && data[8 + n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char*>(data + 8), n);
}

}  // namespace

DiscoveryServer::DiscoveryServer(Report& report, std::vector<SimulatedPrinter*> printers)
    : report_(report), printers_(std::move(printers))
{
}

DiscoveryServer::~DiscoveryServer()
{
    stop();
}

bool DiscoveryServer::start()
{
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    int one = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(kPort);
    if (!fd.valid() ||
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0 ||
        ::setsockopt(fd.get(), IPPROTO_IP, IP_PKTINFO, &one, sizeof one) != 0 ||
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        report_.event(std::string("error bind") + Report::field("address", "0.0.0.0") +
                      Report::field("port", kPort) + Report::field("errno", error) +
                      Report::field("service", "discovery") +
                      Report::field("text", std::strerror(error)));
        return false;
    }
    fd_ = std::move(fd);
    stopping_ = false;
    thread_ = std::thread(&DiscoveryServer::run, this);
    return true;
}

void DiscoveryServer::stop()
{
    if (!thread_.joinable())
        return;
    stopping_ = true;
    fd_.shutdownBoth();
    thread_.join();
    fd_.reset();
}

void DiscoveryServer::run()
{
    std::vector<std::uint8_t> buffer(65536);
    while (!stopping_) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0 || stopping_)
            continue;
        sockaddr_in from{};
        alignas(cmsghdr) char control[256];
        iovec iov{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd_.get(), &message, MSG_DONTWAIT);
        if (n < 0)
            continue;
        in_addr destination{};
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                destination = info.ipi_addr;
            }
        }
        handle(buffer.data(), static_cast<std::size_t>(n), from, destination);
    }
}

void DiscoveryServer::handle(const std::uint8_t* data, std::size_t size,
                             const sockaddr_in& from, const in_addr& destination)
{
    const std::string kind = kindOf(data, size);
    report_.event(std::string("discovery-request printer-socket") +
                  Report::field("from", socketio::endpointText(from)) +
                  Report::field("to", socketio::addressText(destination)) +
                  Report::field("bytes", static_cast<long long>(size)) +
                  Report::field("kind", kind));
    if (kind != "WhoRU")
        return;
    for (SimulatedPrinter* printer : printers_)
        printer->answerDiscovery(from);
}
