// orvel-bridge-console: runs the bridge service until Ctrl+C (on Linux also
// SIGTERM, a service manager stopping the daemon; on Windows also Ctrl+Break
// and closing the console window), printing every log message on the
// console. Exits with 0 after "help" or a stop request, and with 1 when an exception ended it (a bad option, an unopenable log file),
// so that a service manager or a script sees a failed start. With "status"
// it only reads the running bridge's status record, prints it and exits with
// the monitoring plugins' code (0 OK to 3 UNKNOWN).

#include "bridgeservice.h"
#include "consolesink.h"
#include "logmanager.h"
#include "platform.h"
#include "servicenotifier.h"
#include "statuscommand.h"
#include "statusfilewriter.h"
#include "stopsignal.h"

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
