// A small program around SingleApplication for the tests that need real
// processes. Usage:
//   guardprobe NAME hold [--fast-wait]   become the primary and stay until
//                                        SIGTERM or SIGINT, then exit 0
//   guardprobe NAME once [--fast-wait]   become the primary and exit 0
//   guardprobe NAME corrupt              spoil the checksum of NAME's block
//   guardprobe NAME lockhold             take the block's lock and keep it
//                                        until killed
// NAME is the application name, so that each test has a block of its own.
// A refused start prints "Error: another instance is running" and exits 1,
// as the tray program does. --fast-wait replaces the real 8-18 s pauses with
// a virtual clock that each pause advances, and prints "waited N s" for each.
// Log messages go to the standard error stream in the log file's form.
#include "exception.h"
#include "logmanager.h"
#include "singleapplication.h"
#include "singleapplicationprivate.h"
#include "version.h"

#include <QSharedMemory>

#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

namespace {

QString blockKey()
{
    return SingleApplicationPrivate::blockServerName(
        SingleApplication::User, QCoreApplication::applicationName(),
        QCoreApplication::organizationName(), QCoreApplication::organizationDomain(),
        QCoreApplication::applicationVersion(), QCoreApplication::applicationFilePath(),
        SingleApplicationPrivate::currentUserName());
}

// Dies (by the test's SIGKILL) while holding the cross-process lock, as a
// process that crashes in the middle of initInstance would.
int lockHold(const sigset_t &stopSignals)
{
    QSharedMemory memory(blockKey());
    if (!memory.attach(QSharedMemory::ReadWrite) || !memory.lock()) {
        std::cerr << "Error: no block to lock (" << memory.errorString().toStdString() << ")\n";
        return 2;
    }
    std::cout << "locked" << std::endl;
    int signal = 0;
    sigwait(&stopSignals, &signal);
    memory.unlock();
    return 0;
}

int corrupt()
{
    QSharedMemory memory(blockKey());
    if (!memory.attach(QSharedMemory::ReadWrite) || !memory.lock()) {
        std::cerr << "Error: no block to corrupt (" << memory.errorString().toStdString() << ")\n";
        return 2;
    }
    auto *block = static_cast<unsigned char *>(memory.data());
    block[16] ^= 0x5a;
    memory.unlock();
    std::cout << "corrupted" << std::endl;
    return 0;
}

int run(int argc, char **argv, const sigset_t &stopSignals)
{
    const std::string mode = argv[2];
    const bool fastWait = argc > 3 && std::strcmp(argv[3], "--fast-wait") == 0;

    SingleApplication app(argc, argv);
    if (mode == "corrupt")
        return corrupt();
    if (mode == "lockhold")
        return lockHold(stopSignals);

    qint64 virtualMs = 0;
    if (fastWait)
        app.setWaitFunctions([&virtualMs] { return virtualMs; },
                             [&virtualMs](int seconds) {
                                 virtualMs += seconds * 1000;
                                 std::cout << "waited " << seconds << " s" << std::endl;
                             });
    if (!app.initInstance(false, SingleApplication::User))
        THROW_EXCEPTION("another instance is running");
    std::cout << "primary" << std::endl;
    if (mode == "hold") {
        int signal = 0;
        sigwait(&stopSignals, &signal);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::cerr << "usage: guardprobe NAME hold|once|corrupt|lockhold [--fast-wait]\n";
        return 2;
    }
    // Blocked before any thread starts, so that every thread inherits the
    // mask and the signals wait for sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    LogManager::instance().initialize();
    auto sink = LogManager::instance().onMessage.connect(
        [](std::shared_ptr<const LogMessage> message) { std::cerr << message->fileLine() << std::endl; });
    QCoreApplication::setOrganizationName("Orvel");
    QCoreApplication::setApplicationName(QString::fromLocal8Bit(argv[1]));
    QCoreApplication::setApplicationVersion(OrvelBridgeVersion);

    int result = 1;
    try {
        result = run(argc, argv, stopSignals);
    } catch (const std::exception &error) {
        std::cerr << "Error: " << error.what() << std::endl;
        result = 1;
    }
    LogManager::instance().disconnect(sink);
    LogManager::instance().finalize();
    return result;
}
