#include "gatewayrelay.h"

#include "bridgegateway.h"
#include "logmanager.h"
#include "testservice.h"

#include <chrono>
#include <exception>
#include <iostream>
#include <thread>

GatewayRelay::GatewayRelay()
{
    // Quiet: only errors, and those are worth seeing beside the figures.
    LogManager::instance().setLevel(Error);
    logSink_ = LogManager::instance().onMessage.connect([](const std::shared_ptr<const LogMessage> &message) {
        std::cerr << "relay-bench: bridge log: " << message->fileLine() << '\n';
    });
}

GatewayRelay::~GatewayRelay()
{
    stop();
    LogManager::instance().disconnect(logSink_);
}

bool GatewayRelay::start(uint16_t targetPort, int, std::string &problem)
{
    stop();
    const std::string serverPort = std::to_string(targetPort);
    try {
        // The ini file is /dev/null, so that no orvel-bridge.ini of the
        // current directory changes the set-up.
        service_ = std::make_unique<TestService>(std::vector<const char *>{
            "--server-address", "127.0.0.1", "--server-port", serverPort.c_str(), "--gateway-port", "0",
            "--log-level", "4", "--config-file", "/dev/null"});
        if (!service_->start()) {
            problem = "the bridge service did not start";
            stop();
            return false;
        }
    } catch (const std::exception &error) {
        problem = std::string("the bridge service did not start: ") + error.what();
        stop();
        return false;
    }

    const unsigned step = 5;
    for (unsigned waited = 0; waited < StartTimeoutMs; waited += step) {
        if (const std::optional<uint16_t> gatewayPort = service_->getGatewayPort(); gatewayPort && *gatewayPort) {
            port_ = *gatewayPort;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(step));
    }
    problem = "the gateway did not open within " + std::to_string(StartTimeoutMs) + " ms";
    stop();
    return false;
}

void GatewayRelay::stop()
{
    service_.reset();  // stops the service, then restores the current directory
    port_ = 0;
}

int GatewayRelay::connectionLimit() const
{
    return static_cast<int>(BridgeGateway::MaxConnections);
}
