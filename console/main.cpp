// orvel-bridge-console: runs the bridge service until Ctrl+C (on Linux also
// SIGTERM, a service manager stopping the daemon; on Windows also Ctrl+Break
// and closing the console window), printing every log message on the
// console. Exits with 0 after "help" or a stop request, and with 1 when an exception ended it (a bad option, an unopenable log file),
// so that a service manager or a script sees a failed start. With "status"
// it only reads the running bridge's status record, prints it and exits with
// the monitoring plugins' code (0 OK to 3 UNKNOWN). Under systemd it reports
// readiness, stopping, and, when the unit has a watchdog, signs of life while
// the service loop makes progress.

#include "bridgeservice.h"
#include "consolesink.h"
#include "logmanager.h"
#include "platform.h"
#include "servicenotifier.h"
#include "statuscommand.h"
#include "statusfilewriter.h"
#include "stopsignal.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <iostream>

int main(int argc, char *argv[])
{
    StopSignal stopSignal;

    Platform::instance().initialize();
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
            // Under a service manager's watchdog, each step of the service
            // loop and each slice of its pause is a sign of life; a loop that
            // hangs stops them, and the manager restarts the program.
            boost::signals2::scoped_connection watchdog;
            const std::chrono::milliseconds period = ServiceNotifier::watchdogPeriod();
            if (period.count() > 0) {
                service.setProgressInterval(static_cast<unsigned>(
                    std::min<long long>(period.count(), BridgeService::ProgressIntervalMs)));
                watchdog = service.progressed.connect(&ServiceNotifier::alive);
            }
            service.start();
            StatusFileWriter statusFiles(service, StatusFileWriter::stateDirectory());
            statusFiles.start();
            ServiceNotifier::ready();
            stopSignal.wait();
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
    Platform::instance().finalize();
    return status;
}
