// One connection to a simulated printer's status port (TCP 9101).
#pragma once

#include "printerconfig.h"
#include "report.h"

#include <netinet/in.h>

#include <cstddef>

// Serves the one-byte status commands of one connection until the peer
// closes it or the printer closes it: TQ_PRINTERINFO_CMD (4) is answered with
// the identity record, TQ_BACKUP_CMD (3) with the generated backup (or, with
// backup-cut, backup-reset or backup-stall, its first bytes and then a close,
// a reset or silence); other codes are reported and get no answer. With
// status-close-after the printer closes the connection after that many
// identity answers. Runs entirely on the connection's
// own thread; the config is read-only and the Report locks itself.
class StatusPortSession {
public:
    static constexpr unsigned char kBackupCommand = 3;
    static constexpr unsigned char kPrinterInfoCommand = 4;
    static constexpr std::size_t kBackupChunk = 65536;  // bytes per send of a backup

    StatusPortSession(int fd, const sockaddr_in& peer,
                      const PrinterConfig& config, Report& report);

    void run();

private:
    bool sendInfo();
    bool sendBackup();

    int fd_;
    sockaddr_in peer_;
    const PrinterConfig& config_;
    Report& report_;
};
