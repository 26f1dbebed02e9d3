#pragma once

#include "printerinfo.h"

#include <cstdint>
#include <string>

// A snapshot of one printer for the front ends: its address, its identity as
// text, the gateway its session goes through (0 while direct), and what its
// session and backups have done so far (times in seconds since 1970 UTC,
// 0 for never). RemotePrinter fills it under its info mutex.
struct PrinterDetails {
    uint32_t address = 0;
    std::string name;
    std::string model;
    std::string status;
    std::string serial;
    std::string version;
    std::string orderNumber;
    int32_t installationDate = 0;
    int32_t systemId = 0;
    uint32_t gatewayAddress = 0;
    uint32_t gatewayPort = 0;

    // Whether the printer has answered its status port (the identity above is
    // empty until then).
    bool answered = false;
    // The server session: registered and not ended yet.
    bool sessionUp = false;
    uint64_t sessionsStarted = 0;
    int64_t lastKeepAlive = 0;  // the last keep-alive answered
    // The last backup that was stored, and the file that holds it.
    int64_t lastBackup = 0;
    std::string lastBackupFile;
    uint64_t failedBackups = 0;
    bool lastBackupFailed = false;  // the most recent backup attempt failed

    static PrinterDetails from(uint32_t address, const PrinterInfo &info, uint32_t gatewayAddress,
                               uint16_t gatewayPort)
    {
        PrinterDetails details;
        details.address = address;
        details.name = PrinterInfo::text(info.name);
        details.model = PrinterInfo::text(info.model);
        details.status = PrinterInfo::text(info.status);
        details.serial = PrinterInfo::text(info.serial);
        details.version = PrinterInfo::text(info.version);
        details.orderNumber = PrinterInfo::text(info.orderNumber);
        details.installationDate = info.installationDate;
        details.systemId = info.systemId;
        details.gatewayAddress = gatewayAddress;
        details.gatewayPort = gatewayPort;
        details.answered = true;
        return details;
    }

    // The details as the front ends show them, one "Label: value" per line:
    // name ("?" when empty) and address always, the other fields when set,
    // "Gateway: address:port" while the session goes through a gateway bridge.
    std::string text() const;
};
