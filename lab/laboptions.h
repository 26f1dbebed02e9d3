// The command line of orvel-bridge-lab.
#pragma once

#include "printerconfig.h"
#include "serverconfig.h"

#include <cstdint>
#include <string>
#include <vector>

// Parsed options; filled once by main() before any thread starts.
class LabOptions {
public:
    std::vector<PrinterConfig> printers;
    std::uint16_t webPort = 80;  // 0: no web page
    bool hasServer = false;      // --server given
    ServerConfig server;
    bool help = false;

    // Parses argv; false with error set on a bad option or printer SPEC.
    bool parse(int argc, char** argv, std::string& error);

    static std::string usage();
};
