#pragma once

#include "gatewayinfo.h"
#include "remoteservice.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

class BridgeService;

// The tray's "Show status..." text: a snapshot of the service's state taken
// on the user-interface thread (the service's queries take its lock and
// return copies), and its lines. A plain value; any thread may use a copy.
struct StatusText {
    bool serverConnected = false;
    bool serverTls = false;                // "server-tls": the link is encrypted
    std::string serverCertificateSubject;  // of the latest handshake; "" before
    int64_t serverCertificateExpiry = 0;   // seconds since 1970 UTC
    std::string instanceGuid;
    size_t printerCount = 0;
    bool tunnelOpen = false;
    std::string tunnelPrinterName;  // "" while the printer has not answered
    uint16_t tunnelPort = 0;
    bool responderRunning = false;
    std::optional<uint16_t> gatewayPort;
    std::deque<gateway_info_t> gateways;
    std::deque<SlaveInfo> slaves;

    static StatusText from(const BridgeService &service);

    // One line per item, joined by "\n": the server link (and its TLS
    // certificate, when encrypted), the GUID, the
    // printer count, the tunnel (when open), the responder, the gateway port
    // (when listening), the gateways and the slaves known.
    std::string text() const;
};
