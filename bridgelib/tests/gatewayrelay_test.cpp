// The gateway relay of a started bridge service: every slave connection is
// joined to a new connection at the server, byte for byte, and stays joined
// after the listener has closed, until a side closes or the service stops.
// A loopback listener stands in for the server.

#include "bridgegateway.h"
#include "servicetesttools.h"
#include "testservice.h"

#include <atomic>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <utility>

using namespace servicetest;

namespace {

// A started service that reaches its stand-in server and so runs a gateway
// on a system-chosen port. start() also takes the first cycle's server test
// off the server's queue, so that every later connection there is a relay's.
struct GatewayBed {
    bool start()
    {
        if (!service.start() || !capture.waitFor("Gateway started on port"))
            return false;
        gatewayPort = service.getGatewayPort().value_or(0);
        const auto test = acceptFrom(*server);
        return gatewayPort != 0 && test && sockettest::seesEndOfStream(*test);
    }

    LogCapture capture;
    std::unique_ptr<sockettest::Listener> server = std::make_unique<sockettest::Listener>();
    const std::string serverPort = std::to_string(server->port());
    TestService service{{"--server-port", serverPort.c_str()}};
    uint16_t gatewayPort = 0;
};

} // namespace

TEST(GatewayRelay, JoinsEachSlaveConnectionToANewServerConnection)
{
    GatewayBed bed;
    ASSERT_TRUE(bed.start());
    const auto slaveOne = connectLoopback(bed.gatewayPort, "Slave one");
    const auto slaveTwo = connectLoopback(bed.gatewayPort, "Slave two");
    ASSERT_NE(slaveOne, nullptr);
    ASSERT_NE(slaveTwo, nullptr);
    ASSERT_EQ(slaveOne->write("one!", 4), 4);
    ASSERT_EQ(slaveTwo->write("two!", 4), 4);

    // Two slave connections, two server connections; each one's first bytes
    // are exactly what its slave sent (the gateway adds no header).
    std::shared_ptr<Socket> serverOne;
    std::shared_ptr<Socket> serverTwo;
    for (int i = 0; i < 2; ++i) {
        const auto accepted = acceptFrom(*bed.server);
        ASSERT_NE(accepted, nullptr) << "server connection " << i + 1;
        const std::string tag = readExactly(*accepted, 4);
        if (tag == "one!" && !serverOne)
            serverOne = accepted;
        else if (tag == "two!" && !serverTwo)
            serverTwo = accepted;
        else
            FAIL() << "unexpected first bytes '" << tag << "'";
    }
    EXPECT_FALSE(bed.server->hasPending(0)) << "no further server connection";

    auto pairOne = std::async(std::launch::async, [&] { expectBothWays(*slaveOne, *serverOne, 300000, 1); });
    expectBothWays(*slaveTwo, *serverTwo, 300000, 2);
    pairOne.get();

    slaveOne->close();
    EXPECT_TRUE(sockettest::seesEndOfStream(*serverOne)) << "a slave that leaves ends its own relay";
    expectBothWays(*slaveTwo, *serverTwo, 1000, 3);
}

TEST(GatewayRelay, HalfClosedRequestStillGetsItsWholeAnswer)
{
    GatewayBed bed;
    ASSERT_TRUE(bed.start());
    const std::string request = pattern(5000, 4);
    const std::string answer = pattern((1u << 20) + 12345, 5);
    const auto slave = connectLoopback(bed.gatewayPort);
    ASSERT_NE(slave, nullptr);
    ASSERT_EQ(slave->write(request.data(), static_cast<uint32_t>(request.size())), static_cast<int>(request.size()));
    ASSERT_TRUE(slave->shutdownSend());
    const auto server = acceptFrom(*bed.server);
    ASSERT_NE(server, nullptr);

    // The server answers only once it has seen the end of the request.
    auto serving = std::async(std::launch::async, [&] {
        bool ended = false;
        const std::string received = readToEnd(*server, ended);
        const bool answered =
            ended && server->write(answer.data(), static_cast<uint32_t>(answer.size())) == static_cast<int>(answer.size());
        server->close();
        return std::make_pair(received, answered);
    });
    bool ended = false;
    const std::string received = readToEnd(*slave, ended);
    const auto served = serving.get();
    EXPECT_TRUE(served.first == request) << "the server got " << served.first.size() << " bytes";
    EXPECT_TRUE(served.second) << "the end of the request reached the server, which answered";
    EXPECT_TRUE(ended) << "the end of the answer reached the slave";
    EXPECT_EQ(received.size(), answer.size());
    EXPECT_TRUE(received == answer);
}

TEST(GatewayRelay, SlaveIsDroppedAtOnceWhenTheServerCannotBeReached)
{
    GatewayBed bed;
    ASSERT_TRUE(bed.start());
    bed.server.reset();  // the server goes away; the gateway does not know yet
    const auto slave = connectLoopback(bed.gatewayPort);
    ASSERT_NE(slave, nullptr);
    EXPECT_TRUE(sockettest::seesEndOfStream(*slave, 1000));
    ASSERT_TRUE(bed.capture.waitFor("Failed to create gateway's tunnel"));
    EXPECT_EQ(countLogged(bed.capture, Error, "Failed to create gateway's tunnel (server connection failed)"), 1);
    EXPECT_TRUE(bed.capture.waitFor("Gateway closed")) << "the relay's server test switched the modes as well";
    EXPECT_FALSE(bed.service.getGatewayPort().has_value());
}

TEST(GatewayRelay, ClosedGatewayStopsListeningWhileItsRelaysGoOnUntilTheServiceStops)
{
    GatewayBed bed;
    ASSERT_TRUE(bed.start());
    const auto slave = connectLoopback(bed.gatewayPort);
    ASSERT_NE(slave, nullptr);
    const auto server = acceptFrom(*bed.server);
    ASSERT_NE(server, nullptr);
    expectBothWays(*slave, *server, 1000, 6);

    bed.server.reset();  // the listener goes; the relay's connection stays
    EXPECT_EQ(bed.service.updateServerState(), nullptr);
    ASSERT_TRUE(bed.capture.waitFor("Gateway closed")) << "the service thread switched the modes";
    EXPECT_EQ(countLogged(bed.capture, Info, "Gateway closed"), 1);
    EXPECT_FALSE(bed.service.getGatewayPort().has_value());
    EXPECT_EQ(connectLoopback(bed.gatewayPort, "Late slave"), nullptr) << "the listening has ended";
    expectBothWays(*slave, *server, 100000, 7);

    const auto begin = sockettest::Clock::now();
    bed.service.stop();
    EXPECT_LT(sockettest::millisecondsSince(begin), 1000);
    EXPECT_TRUE(sockettest::seesEndOfStream(*slave, 1000)) << "the stop ended the relay";
    EXPECT_TRUE(sockettest::seesEndOfStream(*server, 1000));
}

TEST(BridgeGateway, ConnectionRefusedByAStoppedServiceIsClosedAndItsErrorCaught)
{
    LogCapture capture;
    // A sanitizer starts a helper thread of its own along with the process's
    // first thread: let it come before the count is taken.
    std::thread([] {}).join();
    const size_t threadsBefore = threadCount();
    {
        BridgeService stopped;  // never started: it registers no socket
        auto gateway = std::make_unique<BridgeGateway>(&stopped);
        ASSERT_TRUE(gateway->createServer(0));
        for (int i = 0; i < 2; ++i) {
            const auto slave = connectLoopback(gateway->getLocalPort());
            ASSERT_NE(slave, nullptr) << "connection " << i + 1 << ": the listener goes on after an error";
            EXPECT_TRUE(sockettest::seesEndOfStream(*slave, 1000));
        }
        gateway.reset();
    }  // the service goes at once, without waiting here for its threads
    EXPECT_TRUE(sockettest::eventually([&] { return threadCount() <= threadsBefore; }, 1000))
        << "no thread outlived the service";
    EXPECT_EQ(countLogged(capture, Error, "Unhandled exception in server: internal error (clientSocket is null)"), 2)
        << "caught at the top of each connection's thread and logged";
    EXPECT_FALSE(capture.contains("Failed to create gateway's tunnel")) << "no server test was made";
}

namespace {

// A forced gateway whose relays' server tests can be held in progress until
// the service's stop has done its last switch, as a slow server test would.
class HeldServerTestService : public TestService {
public:
    explicit HeldServerTestService(std::vector<const char *> arguments) : TestService(std::move(arguments)) {}

    std::shared_ptr<Socket> testServerConnection() override
    {
        if (!hold)
            return TestService::testServerConnection();
        held = true;
        // Released once the service thread has switched everything off and
        // the stop has had the time to do its own last switch.
        while (!capture.contains("Bridge service run end"))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return nullptr;  // what a server test finds during a stop
    }

    LogCapture capture;
    std::atomic<bool> hold{false};
    std::atomic<bool> held{false};
};

} // namespace

TEST(GatewayRelay, ARelayInFlightDuringTheStopOpensNothingAndTheStopReturns)
{
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round + 1));
        sockettest::Listener server;
        const std::string serverPort = std::to_string(server.port());
        HeldServerTestService service({"--server-port", serverPort.c_str(), "--gateway", "true"});
        ASSERT_TRUE(service.start());
        ASSERT_TRUE(service.capture.waitFor("Gateway started on port"));
        const uint16_t gatewayPort = service.getGatewayPort().value_or(0);
        ASSERT_NE(gatewayPort, 0);

        service.hold = true;
        const auto slave = connectLoopback(gatewayPort, "Slave");
        ASSERT_NE(slave, nullptr);
        ASSERT_TRUE(sockettest::eventually([&] { return service.held.load(); })) << "the relay tests the server";

        auto stopping = std::async(std::launch::async, [&] { service.stop(); });
        if (stopping.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
            // A listener opened after the stop's last switch keeps a thread on
            // the service for ever: nothing will end this stop.
            ADD_FAILURE() << "the stop did not return within 2 s";
            std::fflush(stdout);
            std::_Exit(1);
        }
        EXPECT_FALSE(service.getGatewayPort().has_value()) << "no gateway listener after the stop";
        EXPECT_EQ(connectLoopback(gatewayPort, "Late slave"), nullptr) << "its port is closed";
        EXPECT_EQ(service.capture.count("Gateway started on port"), 1) << "nothing opened again";
        EXPECT_TRUE(sockettest::seesEndOfStream(*slave, 1000));
    }
}
