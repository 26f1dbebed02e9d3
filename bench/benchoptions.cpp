#include "benchoptions.h"

#include <cstdlib>

namespace {

constexpr int MaxRounds = 20;

bool isOneOf(const std::string &value, std::initializer_list<const char *> choices)
{
    for (const char *choice : choices)
        if (value == choice)
            return true;
    return false;
}

} // namespace

bool BenchOptions::parse(int argc, char **argv, std::string &error)
{
    int explicitRounds = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--quick") {
            quick = true;
        } else if (argument == "--help" || argument == "-h") {
            help = true;
        } else if (argument == "--rounds" && hasValue) {
            char *end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || value < 1 || value > MaxRounds) {
                error = "--rounds takes a number from 1 to " + std::to_string(MaxRounds);
                return false;
            }
            explicitRounds = static_cast<int>(value);
        } else if (argument == "--only" && hasValue) {
            only = argv[++i];
            if (!isOneOf(only, {"one-way", "both-ways", "round-trips", "at-once"})) {
                error = "--only takes one-way, both-ways, round-trips or at-once";
                return false;
            }
        } else if (argument == "--relay" && hasValue) {
            relay = argv[++i];
            if (!isOneOf(relay, {"direct", "tunnel", "gateway", "socat", "tls-tunnel"})) {
                error = "--relay takes direct, tunnel, gateway, socat or tls-tunnel";
                return false;
            }
        } else {
            error = "unknown or incomplete argument '" + argument + "'";
            return false;
        }
    }
    if (quick) {
        rounds = 1;
        oneWayBytes = 64ULL << 20;
        bothWaysBytes = 32ULL << 20;
        warmUps = 200;
        roundTrips = 2000;
        connections = 20;
        bytesPerConnection = 1ULL << 20;
        watchdogSeconds = 230;
    }
    if (explicitRounds > 0)
        rounds = explicitRounds;
    return true;
}

std::string BenchOptions::usage(const char *program)
{
    return std::string("usage: ") + program +
           " [--quick] [--rounds N] [--only WORKLOAD] [--relay PATH]\n"
           "Measures, on 127.0.0.1, a direct TCP connection, the project's Tunnel, the bridge's gateway\n"
           "(a whole BridgeService) and socat side by side:\n"
           "throughput one way (1 GiB) and both ways (512 MiB each way), 1-byte round trips (20000 after\n"
           "1000 untimed), and 200 connections at once of 10 MiB each; every byte is checked.\n"
           "  --quick           small sizes for a smoke run: 64 MiB, 32 MiB each way, 2000 round trips,\n"
           "                    20 x 1 MiB, one round\n"
           "  --rounds N        N rounds, the paths taking turns in each; each figure and each ratio\n"
           "                    (taken round by round) is the median of the N, with its spread\n"
           "                    (default 7, --quick 1)\n"
           "  --only WORKLOAD   one-way, both-ways, round-trips or at-once only (for profiling)\n"
           "  --relay PATH      direct, tunnel, gateway, socat or tls-tunnel only (for profiling)\n"
           "Exit status: 0, or 1 when data was damaged, a set-up failed or a path left threads running,\n"
           "2 on a wrong argument.\n";
}
