#pragma once

#include "gatewayinfo.h"
#include "printerdetails.h"
#include "remoteservice.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The state of one running bridge at one moment, as its status record on
// disk holds it: the service's identity and start, the server link, the
// listeners, the slaves and gateways, and every registered printer with its
// session and backups. BridgeService::getStatus fills it (under the service
// mutex); the status file writer adds the process and the time of writing
// and turns it into the two files beside each other: the record (JSON, read
// back by the console program's "status" option) and the same figures in
// the Prometheus text exposition format for the node exporter's textfile
// collector. Texts that come from devices or hosts are written as
// escapeText shows them. A plain value; no thread concerns.
struct StatusRecord {
    // The record's format; a reader refuses any other.
    static constexpr int Version = 1;
    // Every metric's name begins with it.
    static constexpr const char *MetricPrefix = "orvel_bridge_";

    std::string guid;  // the service's instance GUID
    int64_t pid = 0;
    int64_t started = 0;  // the service's start, seconds since 1970 UTC
    int64_t written = 0;  // when the record was made, seconds since 1970 UTC
    std::string serverAddress;
    uint16_t serverPort = 0;
    std::optional<bool> serverReachable;  // not given before the first server test
    bool serverConnected = false;
    bool serverTls = false;                // the server link runs TLS ("server-tls")
    std::string serverCertificateSubject;  // shown at the latest handshake; empty before
    int64_t serverCertificateExpiry = 0;   // its end of validity, seconds since 1970 UTC; 0 before
    std::optional<uint16_t> gatewayPort;  // given while the gateway listener is open
    bool responder = false;               // the discovery responder runs
    std::optional<uint16_t> printerTunnelPort;
    uint32_t printerTunnelAddress = 0;  // the printer the tunnel leads to, with the port
    std::vector<SlaveInfo> slaves;
    std::vector<gateway_info_t> gateways;
    std::vector<PrinterDetails> printers;  // by address

    // Printers whose server session is up.
    size_t sessionsUp() const;

    // The record as JSON text, indented by two spaces, members in the
    // order of this struct.
    std::string toJson() const;
    // The figures in the Prometheus text exposition format (version 0.0.4).
    std::string toMetrics() const;
    // Reads a record written by toJson; false, with `error` saying why, for
    // any text that is not a whole record of this version.
    static bool fromJson(const std::string &text, StatusRecord &record, std::string &error);

    // `text` made a label value of the exposition format: backslash, double
    // quote and line feed escaped.
    static std::string escapeLabelValue(const std::string &text);
};
