// The process-wide UDP socket that receives printers discovery requests.
#pragma once

#include "report.h"
#include "simulatedprinter.h"
#include "uniquefd.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

// Listens on 0.0.0.0:9101 (UDP), reports every datagram with its source and
// destination address, and hands each valid request (vendor tag, kind
// "WhoRU") to every printer, which answers from its own address. start()
// and stop() run on the main thread; the receiving thread owns the socket
// between them. The printers outlive this object.
class DiscoveryServer {
public:
    static constexpr std::uint16_t kPort = 9101;

    DiscoveryServer(Report& report, std::vector<SimulatedPrinter*> printers);
    ~DiscoveryServer();
    DiscoveryServer(const DiscoveryServer&) = delete;
    DiscoveryServer& operator=(const DiscoveryServer&) = delete;

    // Binds the socket and starts the receiving thread; false (reported) on failure.
    bool start();

    // Wakes and joins the receiving thread, then closes the socket. Idempotent.
    void stop();

private:
    void run();  // receiving thread body
    void handle(const std::uint8_t* data, std::size_t size, const sockaddr_in& from,
                const in_addr& destination);

    Report& report_;
    const std::vector<SimulatedPrinter*> printers_;
    UniqueFd fd_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};
