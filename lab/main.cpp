// orvel-bridge-lab: simulates printers of the family that the bridge serves,
// for tests and demonstrations. See LabOptions::usage() for the command line.

#include "discoveryserver.h"
#include "laboptions.h"
#include "report.h"
#include "simulatedserver.h"
#include "simulatedprinter.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <memory>
#include <vector>

int main(int argc, char** argv)
{
    Report report;

    LabOptions options;
    std::string error;
    if (!options.parse(argc, argv, error)) {
        std::fprintf(stderr, "orvel-bridge-lab: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(LabOptions::usage().c_str(), stdout);
        return 0;
    }

    // Every thread inherits this mask; the signals are taken by sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<SimulatedPrinter>> printers;
    std::vector<SimulatedPrinter*> pointers;
    bool ok = true;
    for (const PrinterConfig& config : options.printers) {
        printers.push_back(std::make_unique<SimulatedPrinter>(config, options.webPort, report));
        pointers.push_back(printers.back().get());
        report.event("printer" + Report::field("address", config.addressText) +
                     Report::field("name", config.name) +
                     Report::field("serial", config.serial));
        if (!printers.back()->start()) {
            ok = false;
            break;
        }
    }
    DiscoveryServer discovery(report, pointers);
    if (ok)
        ok = discovery.start();
    std::unique_ptr<SimulatedServer> server;
    if (ok && options.hasServer) {
        server = std::make_unique<SimulatedServer>(options.server, report);
        ok = server->start();
    }

    int status = 1;
    if (ok) {
        for (auto& printer : printers)
            printer->startSilenceTimer(report.start());
        report.event("ready" + Report::field("printers", static_cast<long long>(printers.size())));
        int signalNumber = 0;
        while (sigwait(&stopSignals, &signalNumber) != 0) {
        }
        report.event("stopping" + Report::field("signal", signalNumber));
        status = 0;
    }

    // The server's sessions are independent of the printers; the discovery
    // thread uses the printers, so it ends before them.
    if (server)
        server->stop();
    discovery.stop();
    for (auto& printer : printers)
        printer->stop();
    if (status == 0)
        report.event("stopped");
    return status;
}
