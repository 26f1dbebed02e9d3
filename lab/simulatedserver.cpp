#include "simulatedserver.h"

#include "fnv1a.h"
#include "serversession.h"
#include "socketio.h"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const int kReceiveTimeoutMs = 30000;     // first bytes of a connection
const int kTunnelAnswerTimeoutMs = 20000; // silence that ends a tunnelled answer
const std::size_t kMaxAnswerHead = 16384;

}  // namespace

SimulatedServer::SimulatedServer(const ServerConfig& config, Report& report)
    : config_(config), report_(report)
{
}

bool SimulatedServer::start()
{
    stopping_ = false;
    const int error = listener_.start(config_.address, config_.port,
                                      [this](int fd, const sockaddr_in& peer) {
                                          serveConnection(fd, peer);
                                      });
    if (error != 0) {
        report_.event("error bind" + Report::field("address", config_.addressText) +
                      Report::field("port", config_.port) + Report::field("errno", error) +
                      Report::field("service", "server") +
                      Report::field("text", std::strerror(error)));
        return false;
    }
    char keepalive[32];
    std::snprintf(keepalive, sizeof keepalive, "%g", config_.keepalive);
    report_.event("server-listen" + Report::field("address", config_.addressText) +
                  Report::field("port", listener_.localPort()) +
                  Report::field("keepalive", keepalive) +
                  Report::field("password-version", config_.versionOfKeepAlive(0)));
    return true;
}

void SimulatedServer::stop()
{
    stopping_ = true;
    listener_.stop();
}

std::uint32_t SimulatedServer::requestTunnel(std::uint32_t session, std::uint16_t port,
                                             wvt::Message& request)
{
    std::lock_guard<std::mutex> lock(tunnelMutex_);
    const std::uint32_t number = nextTunnel_++;
    request = wvt::tunnelRequest(port, session, number);
    pendingTunnels_[number] = request;
    return number;
}

void SimulatedServer::serveConnection(int fd, const sockaddr_in& peer)
{
    socketio::setReceiveTimeout(fd, kReceiveTimeoutMs);
    std::uint8_t first[wvt::kMessageSize] = {};
    const std::size_t got = socketio::recvAll(fd, first, sizeof first);
    const int type = got >= 2 ? wvt::messageType(first) : -1;
    if (got == sizeof first && type == wvt::kRegister) {
        ServerSession(fd, peer, nextSession_++, config_, *this, report_).run(first);
    } else if (got == sizeof first && type == wvt::kOpenTunnel) {
        serveTunnel(fd, peer, first);
    } else if (got == 0) {
        // Closed without a byte: how a bridge tests that the server is reachable.
        report_.event("server-empty" + Report::field("from", socketio::endpointText(peer)));
    } else {
        report_.event("server-unknown" + Report::field("from", socketio::endpointText(peer)) +
                      Report::field("type", type) +
                      Report::field("bytes", static_cast<long long>(got)));
    }
}

void SimulatedServer::serveTunnel(int fd, const sockaddr_in& peer, const std::uint8_t* first)
{
    std::uint32_t session = 0, number = 0;
    wvt::tunnelToken(first, session, number);
    bool match = false;
    {
        std::lock_guard<std::mutex> lock(tunnelMutex_);
        const auto it = pendingTunnels_.find(number);
        if (it != pendingTunnels_.end() && std::equal(it->second.begin(), it->second.end(), first)) {
            match = true;
            pendingTunnels_.erase(it);
        }
    }
    const std::string who = Report::field("session", static_cast<long long>(session)) +
                            Report::field("tunnel", static_cast<long long>(number));
    report_.event("server-tunnel-connect" + who +
                  Report::field("port", wvt::tunnelPort(first)) +
                  Report::field("from", socketio::endpointText(peer)) +
                  Report::field("match", match ? "yes" : "no"));
    if (!match)
        return;

    const std::string request = "GET " + config_.tunnelPath +
                                " HTTP/1.1\r\nHost: printer\r\nConnection: close\r\n\r\n";
    if (!socketio::sendAll(fd, request.data(), request.size())) {
        report_.event("server-tunnel-answer" + who + " status=0 bytes=0 end=send-failed");
        return;
    }

    // The answer is read until the printer's side closes; the body is only
    // counted and hashed, so that any size can come through.
    socketio::setReceiveTimeout(fd, kTunnelAnswerTimeoutMs);
    std::string answerHead;
    bool inBody = false;
    long long bodyBytes = 0;
    Fnv1a hash;
    std::string end = "closed";
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            end = errno == EAGAIN || errno == EWOULDBLOCK ? "timeout" : "error";
            break;
        }
        if (n == 0)
            break;
        const char* body = buffer;
        std::size_t bodySize = static_cast<std::size_t>(n);
        if (!inBody) {
            const std::size_t before = answerHead.size();
            answerHead.append(buffer, bodySize);
            const std::size_t blank = answerHead.find("\r\n\r\n");
            if (blank == std::string::npos) {
                if (answerHead.size() > kMaxAnswerHead) {
                    end = "head-too-long";
                    break;
                }
                continue;
            }
            inBody = true;
            const std::size_t skip = blank + 4 - before;
            body += skip;
            bodySize -= skip;
            answerHead.resize(blank);
        }
        hash.update(body, bodySize);
        bodyBytes += static_cast<long long>(bodySize);
    }

    const std::string statusLine = answerHead.substr(0, answerHead.find("\r\n"));
    int status = 0;
    if (inBody && statusLine.compare(0, 5, "HTTP/") == 0) {
        const std::size_t space = statusLine.find(' ');
        if (space != std::string::npos)
            status = std::atoi(statusLine.c_str() + space + 1);
    }
    // Content-Length, when announced, says whether the body is complete.
    long long announced = -1;
    std::string lower = answerHead;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::size_t header = lower.find("\r\ncontent-length:");
    if (header != std::string::npos)
        announced = std::atoll(lower.c_str() + header + 17);
    report_.event("server-tunnel-answer" + who + Report::field("status", status) +
                  Report::field("status-line", statusLine) + Report::field("bytes", bodyBytes) +
                  Report::field("fnv1a", hash.text()) +
                  Report::field("complete", announced < 0 ? "unknown"
                                            : announced == bodyBytes ? "yes" : "no") +
                  Report::field("end", end));
}
