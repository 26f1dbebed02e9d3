// One HTTP connection to a simulated printer's web port.
#pragma once

#include "printerconfig.h"
#include "report.h"

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

// One answer of the web port: status line text, content type and body.
struct WebAnswer {
    int status = 200;
    std::string reason = "OK";
    std::string contentType = "text/html; charset=utf-8";
    std::string body;
};

// Reads one HTTP request head (until the blank line, or until the client
// shuts down its writing half), answers it, then closes the connection.
// The paths:
//   /style.css          the page's stylesheet
//   /img/N.svg          image N (1..kImageCount), a small SVG
//   /large[?bytes=N]    N bytes (default kLargeDefault) of largeByte()
//   anything else       the printer's status page, which loads the above
// GET and HEAD are served (HEAD: headers only); other methods get 405.
// Runs on the connection's own thread only.
class WebPageSession {
public:
    static constexpr int kImageCount = 4;
    static constexpr std::uint64_t kLargeDefault = 1048576;
    static constexpr std::uint64_t kLargeMax = 64ull * 1048576;

    WebPageSession(int fd, const sockaddr_in& peer, const PrinterConfig& config,
                   Report& report);

    void run();

    // The answer to a request for target (path and query) with this method.
    static WebAnswer answer(const std::string& method, const std::string& target,
                            const PrinterConfig& config);

    // The HTML page that names the printer and loads the stylesheet and the
    // images; when the window has loaded, its script writes into the element
    // #check the attribute data-check="images=L/T css=ok|missing" (L images
    // of T loaded with a size, stylesheet applied or not).
    static std::string page(const PrinterConfig& config);

    // Byte i of the large body: 16-byte lines, each the offset of its first
    // byte in 15 decimal digits (zero-padded) and a line feed.
    static char largeByte(std::uint64_t i);

private:
    int fd_;
    sockaddr_in peer_;
    const PrinterConfig& config_;
    Report& report_;
};
