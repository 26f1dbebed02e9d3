// orvel-bridge-ui: the bridge service with an icon in the notification area.

#include "application.h"
#include "bridgeservice.h"
#include "exception.h"
#include "logmanager.h"
#include "platform.h"
#include "signalpipe.h"

#include <exception>
#include <iostream>
#include <memory>

namespace {

// The one application of the process; deleted by the shut-down routine.
std::unique_ptr<Application> application;

// Initialises the platform and the log manager for its lifetime; deletes the
// application before it finalises them, however run() ended.
class StartUp {
public:
    StartUp()
    {
        Platform::instance().initialize();
        LogManager::instance().initialize();
        QCoreApplication::setOrganizationName(QStringLiteral("Orvel"));
        QCoreApplication::setApplicationName(QString::fromLatin1(Application::Title));
        QCoreApplication::setApplicationVersion(QString::fromLatin1(Application::Version));
    }
    ~StartUp()
    {
        application.reset();
        LogManager::instance().finalize();
        Platform::instance().finalize();
    }
    StartUp(const StartUp &) = delete;
    StartUp &operator=(const StartUp &) = delete;
};

int run(int &argc, char **argv)
{
    auto service = std::make_shared<BridgeService>();
    OptionsManager &options = service->options();
    options.description().add_options()
        ("expert-mode", "Force the expert UI mode")
        ("notify-run", "Show a notification when the app is starting");
    options.parse(argc, argv);
    if (options.variables().count("help")) {
        std::cout << options.description() << std::endl;
        return 0;
    }

    application.reset();
    // Icons drawn for the device pixel ratio of the screen (sharp on HiDPI
    // screens); set before the application is made.
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    application = std::make_unique<Application>(argc, argv, service);
    if (!application->initInstance(false, SingleApplication::User))
        THROW_EXCEPTION("another instance is running");
    application->setModes(options.variables().count("expert-mode") > 0,
                          options.variables().count("notify-run") > 0);

    // SIGINT and SIGTERM end the program through onExit, on this thread.
    SignalPipe stopSignals;
    QObject::connect(&stopSignals, &SignalPipe::received, application.get(), [] {
        if (application)
            application->onExit();
    });
    return application->run();
}

} // namespace

int main(int argc, char *argv[])
{
    try {
        StartUp startUp;
        return run(argc, argv);
    } catch (const std::exception &error) {
        std::cerr << "Error: " << error.what() << std::endl;
        return 1;
    } catch (...) {
        std::cerr << "Unknown error" << std::endl;
        return 1;
    }
}
