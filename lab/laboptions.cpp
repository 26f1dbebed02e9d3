#include "laboptions.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <set>

std::string LabOptions::usage()
{
    return "Usage: orvel-bridge-lab [--printer SPEC]... [--web-port N] [--help]\n"
           "Simulates network printers: discovery answers (UDP 9101), status port\n"
           "(TCP 9101), control port (TCP 9102) and web pages (TCP, --web-port,\n"
           "default 80, 0 = none) on each printer's own address. Events go to\n"
           "stdout, one line each.\n"
           "\n"
           "SPEC = ADDRESS[,key=value]...  (values cannot contain commas)\n"
           "  name, model, status   text, at most 32 bytes\n"
           "  serial, version, order  text, at most 16 bytes\n"
           "  installed=SECONDS     installation date (epoch seconds)\n"
           "  system-id=N           system id\n"
           "  backup-size=BYTES     size of the generated backup (default 4096)\n"
           "  info-length=N         length field of the identity answer (default 152)\n"
           "  discovery=MODE        normal | none | short | foreign\n"
           "  silent-after=SECONDS  go silent that long after start\n"
           "  refuse-status=1       do not listen on the status port\n"
           "  control-answer=N      byte answered to control commands (default 1)\n";
}

bool LabOptions::parse(int argc, char** argv, std::string& error)
{
    std::set<std::uint32_t> addresses;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        const std::size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            hasValue = true;
        }
        if (arg == "--help" || arg == "-h") {
            help = true;
            continue;
        }
        if (arg != "--printer" && arg != "--web-port") {
            error = "unknown option '" + arg + "'";
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                error = "option '" + arg + "' needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (arg == "--web-port") {
            char* end = nullptr;
            errno = 0;
            const long port = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || port < 0 || port > 65535) {
                error = "bad web port '" + value + "'";
                return false;
            }
            webPort = static_cast<std::uint16_t>(port);
            continue;
        }
        PrinterConfig config;
        if (!PrinterConfig::parse(value, static_cast<int>(printers.size()) + 1, config, error))
            return false;
        if (!addresses.insert(config.address.s_addr).second) {
            error = "address " + config.addressText + " is given twice";
            return false;
        }
        printers.push_back(config);
    }
    return true;
}
