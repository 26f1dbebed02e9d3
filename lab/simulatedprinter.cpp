#include "simulatedprinter.h"

#include "controlportsession.h"
#include "socketio.h"
#include "statusportsession.h"
#include "webpagesession.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

const char kVendorTag[] = "Kestova";  // 7 bytes, no terminator on the wire
const std::size_t kHeaderSize = 16;

std::vector<std::uint8_t> header(const char* tag, const char* kind)
{
    std::vector<std::uint8_t> datagram(kHeaderSize, 0);
    std::memcpy(datagram.data(), tag, 7);
    std::memcpy(datagram.data() + 8, kind, std::strlen(kind));
    return datagram;
}

}  // namespace

SimulatedPrinter::SimulatedPrinter(const PrinterConfig& config, std::uint16_t webPort,
                                   Report& report)
    : config_(config), webPort_(webPort), report_(report)
{
}

SimulatedPrinter::~SimulatedPrinter()
{
    stop();
}

bool SimulatedPrinter::listen(TcpListener& listener, std::uint16_t port,
                              const char* service, TcpListener::Handler handler)
{
    const int error = listener.start(config_.address, port, std::move(handler));
    if (error == 0)
        return true;
    report_.event("error bind" + Report::field("printer", config_.addressText) +
                  Report::field("port", port) + Report::field("errno", error) +
                  Report::field("service", service) +
                  Report::field("text", std::strerror(error)));
    return false;
}

bool SimulatedPrinter::start()
{
    answerFd_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = config_.address;
    local.sin_port = 0;  // any port: the answer's source address is what matters
    if (!answerFd_.valid() ||
        ::bind(answerFd_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        report_.event("error bind" + Report::field("printer", config_.addressText) +
                      Report::field("port", 0) + Report::field("errno", error) +
                      Report::field("service", "discovery-answer") +
                      Report::field("text", std::strerror(error)));
        return false;
    }

    const PrinterConfig& c = config_;
    Report& r = report_;
    if (!c.refuseStatus &&
        !listen(status_, kStatusPort, "status", [&c, &r](int fd, const sockaddr_in& peer) {
            StatusPortSession(fd, peer, c, r).run();
        }))
        return false;
    if (!listen(control_, kControlPort, "control", [&c, &r](int fd, const sockaddr_in& peer) {
            ControlPortSession(fd, peer, c, r).run();
        }))
        return false;
    if (webPort_ != 0)
        listen(web_, webPort_, "web", [&c, &r](int fd, const sockaddr_in& peer) {
            WebPageSession(fd, peer, c, r).run();
        });
    return true;
}

void SimulatedPrinter::startSilenceTimer(Report::Clock::time_point programStart)
{
    if (config_.silentAfter < 0 || timer_.joinable())
        return;
    const auto deadline =
        programStart + std::chrono::duration_cast<Report::Clock::duration>(
                           std::chrono::duration<double>(config_.silentAfter));
    timer_ = std::thread(&SimulatedPrinter::silenceTimer, this, deadline);
}

void SimulatedPrinter::silenceTimer(Report::Clock::time_point deadline)
{
    {
        std::unique_lock<std::mutex> lock(timerMutex_);
        if (timerWake_.wait_until(lock, deadline, [this] { return stopTimer_; }))
            return;
    }
    silent_ = true;
    closeListeners();
    report_.event("silent" + Report::field("printer", config_.addressText));
}

void SimulatedPrinter::closeListeners()
{
    status_.stop();
    control_.stop();
    web_.stop();
}

void SimulatedPrinter::stop()
{
    {
        std::lock_guard<std::mutex> lock(timerMutex_);
        stopTimer_ = true;
    }
    timerWake_.notify_all();
    if (timer_.joinable())
        timer_.join();
    closeListeners();
}

void SimulatedPrinter::answerDiscovery(const sockaddr_in& requester)
{
    if (silent_ || config_.discovery == DiscoveryMode::None || !answerFd_.valid())
        return;
    std::vector<std::uint8_t> datagram = header(kVendorTag, "HereMI");
    // After the header: a short key=value text about the printer.
    const std::string text = "name=" + config_.name + "\nserial=" + config_.serial;
    datagram.insert(datagram.end(), text.begin(), text.end());
    if (config_.discovery == DiscoveryMode::Short)
        datagram.resize(kHeaderSize - 1);
    else if (config_.discovery == DiscoveryMode::Foreign)
        std::memcpy(datagram.data(), "Foreign", 7);

    const ssize_t sent =
        ::sendto(answerFd_.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&requester), sizeof requester);
    const std::string to = Report::field("to", socketio::endpointText(requester));
    if (sent < 0) {
        const int error = errno;
        report_.event("error send" + Report::field("printer", config_.addressText) + to +
                      Report::field("errno", error) + Report::field("text", std::strerror(error)));
        return;
    }
    report_.event("discovery-answer" + Report::field("printer", config_.addressText) + to +
                  Report::field("bytes", static_cast<long long>(sent)));
}
