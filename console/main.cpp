// orvel-bridge-console: runs the bridge service until SIGINT (Ctrl+C) or
// SIGTERM (a service manager stopping the daemon), printing every log
// message on the console. Exits with 0 after "help" or a stop by signal, and
// with 1 when an exception ended it (a bad option, an unopenable log file),
// so that a service manager or a script sees a failed start. With "status"
// it only reads the running bridge's status record, prints it and exits with
// the monitoring plugins' code (0 OK to 3 UNKNOWN).

#include "bridgeservice.h"
#include "consolesink.h"
#include "logmanager.h"
#include "platformposix.h"
#include "servicenotifier.h"
#include "statuscommand.h"
#include "statusfilewriter.h"

#include <csignal>
#include <exception>
#include <iostream>
#include <pthread.h>

namespace {

// The signals that stop the program. They are blocked in every thread from
// the start and taken with sigwait on the main thread, so that no handler
// ever runs and a signal that comes during start-up stops the service as
// soon as it has started.
sigset_t stopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

void waitForStopSignal(const sigset_t &signals)
{
    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
}

} // namespace

int main(int argc, char *argv[])
{
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    PlatformPosix::instance().initialize();
    LogManager::instance().initialize();
    ConsoleSink::detectJournal();
    boost::signals2::scoped_connection sink = LogManager::instance().onMessage.connect(&ConsoleSink::write);

    int status = 0;
    try {
        BridgeService service;
        service.options().parse(argc, argv);
        if (service.options().variables().count("help")) {
            std::cout << service.options().description() << std::endl;
        } else if (service.options().variables().count("status")) {
            status = StatusCommand::run(std::cout, StatusFileWriter::systemClock());
        } else {
            service.start();
            StatusFileWriter statusFiles(service, StatusFileWriter::stateDirectory());
            statusFiles.start();
            ServiceNotifier::ready();
            waitForStopSignal(signals);
            ServiceNotifier::stopping();
            statusFiles.stop();
            service.stop();
        }
    } catch (const std::exception &error) {
        std::cerr << "Unhandled exception: " << error.what() << std::endl;
        status = 1;
    } catch (...) {
        std::cerr << "Unknown exception" << std::endl;
        status = 1;
    }

    LogManager::instance().disconnect(sink);
    LogManager::instance().finalize();
    PlatformPosix::instance().finalize();
    return status;
}
