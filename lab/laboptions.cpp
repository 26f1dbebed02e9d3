#include "laboptions.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <set>

std::string LabOptions::usage()
{
    return "Usage: orvel-bridge-lab [--printer SPEC]... [--web-port N] [--server SERVER] [--help]\n"
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
           "  backup-size=BYTES     size of the generated backup (default 4096, up to 4294967295)\n"
           "  backup-content=KIND   pattern | zero | random (default pattern)\n"
           "  backup-seed=N         seed of random backup content (default 1)\n"
           "  backup-cut=N          send N content bytes of a backup, then close\n"
           "  backup-stall=N        send N content bytes of a backup, then fall silent\n"
           "  backup-reset=N        send N content bytes of a backup, then reset the connection\n"
           "  status-close-after=N  close each status connection after N identity answers\n"
           "  info-length=N         length field of the identity answer (default 152)\n"
           "  discovery=MODE        normal | none | short | foreign\n"
           "  silent-after=SECONDS  go silent that long after start\n"
           "  refuse-status=1       do not listen on the status port\n"
           "  control-answer=N      byte answered to control commands (default 1)\n"
           "\n"
           "SERVER = ADDRESS:PORT[,key=value]...  a simulated WVT server (port 0: any)\n"
           "  keepalive=SECONDS     period of keep-alives (default 10, fractions allowed)\n"
           "  password-version=V[:V]...  versions announced by successive keep-alives,\n"
           "                        the last repeats; -1 = no file (default 0)\n"
           "  keepalive-fill=KIND   unused keep-alive bytes: pattern | zero (default pattern)\n"
           "  password-size=BYTES   size of the generated password file (default 1024)\n"
           "  password-file=PATH    send this file instead (at most 64 MiB)\n"
           "  password-length=N     announce N bytes; send at most N of the file\n"
           "  tunnel-port=PORT      ask for a tunnel to this printer port\n"
           "  tunnel-after=SECONDS  first tunnel request into the session (default 0)\n"
           "  tunnel-every=SECONDS  repeat tunnel requests\n"
           "  tunnel-path=PATH      page asked for through a tunnel (default /)\n"
           "  silent-after=SECONDS  stop sending into the session, keep it open\n"
           "  close-after=SECONDS   close the session\n"
           "  random-bytes=N        after the registration send N random bytes, then close\n";
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
        if (arg != "--printer" && arg != "--web-port" && arg != "--server") {
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
        if (arg == "--server") {
            if (hasServer) {
                error = "--server is given twice";
                return false;
            }
            if (!ServerConfig::parse(value, server, error))
                return false;
            hasServer = true;
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
