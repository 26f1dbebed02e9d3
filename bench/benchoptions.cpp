#include "benchoptions.h"

bool BenchOptions::parse(int argc, char **argv, std::string &error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--quick") {
            quick = true;
            oneWayBytes = 64ULL << 20;
            bothWaysBytes = 32ULL << 20;
            warmUps = 200;
            roundTrips = 2000;
            connections = 20;
            bytesPerConnection = 1ULL << 20;
            watchdogSeconds = 230;
        } else if (argument == "--help" || argument == "-h") {
            help = true;
        } else {
            error = "unknown argument '" + argument + "'";
            return false;
        }
    }
    return true;
}

std::string BenchOptions::usage(const char *program)
{
    return std::string("usage: ") + program +
           " [--quick]\n"
           "Measures, on 127.0.0.1, a direct TCP connection, the project's Tunnel and socat side by side:\n"
           "throughput one way (1 GiB) and both ways (512 MiB each way), 1-byte round trips (20000),\n"
           "and 200 connections at once of 10 MiB each, every byte checked.\n"
           "  --quick   small sizes for a smoke run: 64 MiB, 32 MiB each way, 2000 round trips, 20 x 1 MiB\n"
           "Exit status: 0, or 1 when data was damaged or a set-up failed, 2 on a wrong argument.\n";
}
