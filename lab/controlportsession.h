// One connection to a simulated printer's control port (TCP 9102).
#pragma once

#include "printerconfig.h"
#include "report.h"

#include <netinet/in.h>

#include <cstdint>
#include <string>

// Serves one control exchange: reads the 16-byte command name, answers one
// byte (the printer's control-answer; 0 = wants nothing), then reads the
// command's data ("copyfile": 64-byte file name, 32-bit length, content;
// "set_date": 16-byte date record) and reports what arrived. Unknown
// commands are answered 0. Runs on the connection's own thread only.
class ControlPortSession {
public:
    ControlPortSession(int fd, const sockaddr_in& peer,
                       const PrinterConfig& config, Report& report);

    void run();

private:
    std::string receiveCopyFile();  // the report fields of a "copyfile"
    std::string receiveDate();      // the report fields of a "set_date"

    int fd_;
    sockaddr_in peer_;
    const PrinterConfig& config_;
    Report& report_;
};
