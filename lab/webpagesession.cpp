#include "webpagesession.h"

#include "socketio.h"

#include <sys/socket.h>

#include <cerrno>

namespace {

const int kReceiveTimeoutMs = 10000;
const int kDrainTimeoutMs = 2000;
const std::size_t kMaxRequestHead = 16384;

std::string htmlEscape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

}  // namespace

WebPageSession::WebPageSession(int fd, const sockaddr_in& peer,
                               const PrinterConfig& config, Report& report)
    : fd_(fd), peer_(peer), config_(config), report_(report)
{
}

std::string WebPageSession::page(const PrinterConfig& config)
{
    const std::string name = htmlEscape(config.name);
    return "<!DOCTYPE html>\n<html><head><title>" + name + "</title></head>\n"
           "<body><h1>" + name + "</h1>\n"
           "<p>Model: " + htmlEscape(config.model) + "</p>\n"
           "<p>Status: " + htmlEscape(config.status) + "</p>\n"
           "<p>Serial: " + htmlEscape(config.serial) + "</p>\n"
           "<p>Address: " + config.addressText + "</p>\n"
           "</body></html>\n";
}

void WebPageSession::run()
{
    socketio::setReceiveTimeout(fd_, kReceiveTimeoutMs);
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos &&
           head.find("\n\n") == std::string::npos && head.size() < kMaxRequestHead) {
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        head.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t lineEnd = head.find_first_of("\r\n");
    if (lineEnd == std::string::npos)
        return;  // no request line: nothing to answer
    const std::string requestLine = head.substr(0, lineEnd);
    const std::size_t space1 = requestLine.find(' ');
    const std::size_t space2 = requestLine.find(' ', space1 == std::string::npos ? 0 : space1 + 1);
    const std::string method = requestLine.substr(0, space1);
    const std::string path = space1 == std::string::npos
                                 ? ""
                                 : requestLine.substr(space1 + 1, space2 - space1 - 1);
    report_.event("web-request" + Report::field("printer", config_.addressText) +
                  Report::field("from", socketio::endpointText(peer_)) +
                  Report::field("path", path) + Report::field("method", method));

    std::string status = "200 OK";
    std::string body = page(config_);
    if (method != "GET" && method != "HEAD") {
        status = "405 Method Not Allowed";
        body = "<html><body>Method not allowed</body></html>\n";
    }
    std::string answer = "HTTP/1.1 " + status + "\r\n"
                         "Content-Type: text/html; charset=utf-8\r\n"
                         "Content-Length: " + std::to_string(body.size()) + "\r\n"
                         "Connection: close\r\n\r\n";
    if (method != "HEAD")
        answer += body;
    socketio::sendAll(fd_, answer.data(), answer.size());
    ::shutdown(fd_, SHUT_WR);

    // Let the client close first, so that closing with unread bytes (which
    // would reset the connection) cannot throw away the answer.
    socketio::setReceiveTimeout(fd_, kDrainTimeoutMs);
    while (::recv(fd_, buffer, sizeof buffer, 0) > 0) {
    }
}
