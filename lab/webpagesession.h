// One HTTP connection to a simulated printer's web port.
#pragma once

#include "printerconfig.h"
#include "report.h"

#include <netinet/in.h>

#include <string>

// Reads one HTTP request head and answers it with the printer's fixed status
// page (any path; HEAD gets the headers only), then closes the connection.
// Runs on the connection's own thread only.
class WebPageSession {
public:
    WebPageSession(int fd, const sockaddr_in& peer, const PrinterConfig& config,
                   Report& report);

    void run();

    // The HTML page that names the printer.
    static std::string page(const PrinterConfig& config);

private:
    int fd_;
    sockaddr_in peer_;
    const PrinterConfig& config_;
    Report& report_;
};
