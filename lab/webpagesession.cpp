#include "webpagesession.h"

#include "socketio.h"

#include <sys/socket.h>

#include <cerrno>

namespace {

const int kReceiveTimeoutMs = 10000;
const int kDrainTimeoutMs = 2000;
const std::size_t kMaxRequestHead = 16384;

// Fill colours of the images, one per image number.
const char* const kImageColours[WebPageSession::kImageCount] = {
    "#d33f49", "#3f8ed3", "#3fd36b", "#d3a73f"};

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

// The page's script checks this custom property to see that the
// stylesheet arrived and applies.
const char kStylesheet[] =
    "body { font-family: sans-serif; margin: 2em; }\n"
    "h1 { color: #2a4d69; }\n"
    ".images img { margin-right: 8px; }\n"
    "#check { --lab-stylesheet: applied; font-weight: bold; }\n";

// Runs when the window has loaded (every image and the stylesheet done).
const char kCheckScript[] =
    "<script>\n"
    "window.addEventListener('load', function () {\n"
    "  var images = document.images, loaded = 0;\n"
    "  for (var i = 0; i < images.length; ++i)\n"
    "    if (images[i].complete && images[i].naturalWidth > 0) ++loaded;\n"
    "  var check = document.getElementById('check');\n"
    "  var css = getComputedStyle(check).getPropertyValue('--lab-stylesheet').trim();\n"
    "  var text = 'images=' + loaded + '/' + images.length +\n"
    "             ' css=' + (css === 'applied' ? 'ok' : 'missing');\n"
    "  check.setAttribute('data-check', text);\n"
    "  check.textContent = text;\n"
    "});\n"
    "</script>\n";

std::string image(int number)
{
    const std::string n = std::to_string(number);
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"24\" height=\"24\" "
           "viewBox=\"0 0 24 24\">"
           "<rect width=\"24\" height=\"24\" rx=\"4\" fill=\"" +
           std::string(kImageColours[number - 1]) +
           "\"/><text x=\"12\" y=\"17\" font-size=\"14\" text-anchor=\"middle\" "
           "fill=\"#ffffff\">" + n + "</text></svg>\n";
}

WebAnswer error(int status, const std::string& reason)
{
    WebAnswer a;
    a.status = status;
    a.reason = reason;
    a.body = "<html><body>" + reason + "</body></html>\n";
    return a;
}

// Parses a decimal number of at most kLargeMax; false on anything else.
bool parseSize(const std::string& text, std::uint64_t& out)
{
    if (text.empty() || text.size() > 12)
        return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > WebPageSession::kLargeMax)
        return false;
    out = value;
    return true;
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
    std::string images;
    for (int n = 1; n <= kImageCount; ++n)
        images += "<img src=\"/img/" + std::to_string(n) + ".svg\" alt=\"" +
                  std::to_string(n) + "\">";
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + name +
           "</title>\n<link rel=\"stylesheet\" href=\"/style.css\"></head>\n"
           "<body><h1>" + name + "</h1>\n"
           "<p>Model: " + htmlEscape(config.model) + "</p>\n"
           "<p>Status: " + htmlEscape(config.status) + "</p>\n"
           "<p>Serial: " + htmlEscape(config.serial) + "</p>\n"
           "<p>Address: " + config.addressText + "</p>\n"
           "<p class=\"images\">" + images + "</p>\n"
           "<p id=\"check\" data-check=\"pending\">pending</p>\n" +
           kCheckScript + "</body></html>\n";
}

char WebPageSession::largeByte(std::uint64_t i)
{
    const std::uint64_t column = i % 16;
    if (column == 15)
        return '\n';
    // Digit `column` (most significant first) of the line's offset.
    std::uint64_t value = i - column;
    for (std::uint64_t k = column; k < 14; ++k)
        value /= 10;
    return static_cast<char>('0' + value % 10);
}

WebAnswer WebPageSession::answer(const std::string& method, const std::string& target,
                                 const PrinterConfig& config)
{
    if (method != "GET" && method != "HEAD")
        return error(405, "Method Not Allowed");
    const std::size_t mark = target.find('?');
    const std::string path = target.substr(0, mark);
    const std::string query = mark == std::string::npos ? "" : target.substr(mark + 1);

    WebAnswer a;
    if (path == "/style.css") {
        a.contentType = "text/css; charset=utf-8";
        a.body = kStylesheet;
    } else if (path.compare(0, 5, "/img/") == 0) {
        const std::string file = path.substr(5);
        const int number = file.size() == 5 && file.compare(1, 4, ".svg") == 0 ? file[0] - '0' : 0;
        if (number < 1 || number > kImageCount)
            return error(404, "Not Found");
        a.contentType = "image/svg+xml";
        a.body = image(number);
    } else if (path == "/large") {
        std::uint64_t size = kLargeDefault;
        if (!query.empty() &&
            (query.compare(0, 6, "bytes=") != 0 || !parseSize(query.substr(6), size)))
            return error(400, "Bad Request");
        a.contentType = "text/plain; charset=us-ascii";
        a.body.resize(size);
        for (std::uint64_t i = 0; i < size; ++i)
            a.body[i] = largeByte(i);
    } else {
        a.body = page(config);
    }
    return a;
}

void WebPageSession::run()
{
    socketio::setReceiveTimeout(fd_, kReceiveTimeoutMs);
    std::string head;
    char buffer[4096];
    // The head ends at its blank line, or where the client shut down its
    // writing half; the answer goes out either way.
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
    const std::string target = space1 == std::string::npos
                                   ? ""
                                   : requestLine.substr(space1 + 1, space2 - space1 - 1);
    const std::string printerField = Report::field("printer", config_.addressText);
    const std::string fromField = Report::field("from", socketio::endpointText(peer_));
    report_.event("web-request" + printerField + fromField + Report::field("path", target) +
                  Report::field("method", method));

    const WebAnswer a = answer(method, target, config_);
    std::string answerHead = "HTTP/1.1 " + std::to_string(a.status) + " " + a.reason + "\r\n"
                           "Content-Type: " + a.contentType + "\r\n"
                           "Content-Length: " + std::to_string(a.body.size()) + "\r\n"
                           "Connection: close\r\n\r\n";
    bool sent = socketio::sendAll(fd_, answerHead.data(), answerHead.size());
    if (sent && method != "HEAD")
        sent = socketio::sendAll(fd_, a.body.data(), a.body.size());
    ::shutdown(fd_, SHUT_WR);
    report_.event("web-answer" + printerField + fromField + Report::field("path", target) +
                  Report::field("status", a.status) +
                  Report::field("bytes", static_cast<long long>(method == "HEAD" ? 0 : a.body.size())) +
                  Report::field("sent", sent ? "all" : "failed"));

    // Let the client close first, so that closing with unread bytes (which
    // would reset the connection) cannot throw away the answer.
    socketio::setReceiveTimeout(fd_, kDrainTimeoutMs);
    while (::recv(fd_, buffer, sizeof buffer, 0) > 0) {
    }
}
