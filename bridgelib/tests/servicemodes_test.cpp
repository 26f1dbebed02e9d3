// The modes a started bridge service takes from its server test and its
// options: gateway listener, discovery responder, the slaves it keeps, the
// route its printers take to the server, and the printer tunnel's port and
// target. A loopback listener stands in for the server.

#include "remoteprinter.h"
#include "remoteprintertunnel.h"
#include "servicetesttools.h"
#include "stringutils.h"
#include "testservice.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>

using namespace servicetest;
using sockettest::Loopback;

namespace {

// Loopback addresses where nothing listens: a static printer there keeps
// retrying its status port quietly, and a tunnel to it finds no web server.
constexpr uint32_t PrinterA = 0x7F00040Au;  // 127.0.4.10
constexpr uint32_t PrinterB = 0x7F00040Bu;  // 127.0.4.11
// A printer whose web port the test serves itself.
constexpr uint32_t WebPrinter = 0x7F000301u;  // 127.0.3.1

constexpr uint16_t ResponderPort = 9102;

std::deque<SlaveInfo> slavesOf(const BridgeService &service)
{
    std::deque<SlaveInfo> slaves;
    service.getSlaves(slaves);
    return slaves;
}

std::deque<gateway_info_t> gatewaysOf(const BridgeService &service)
{
    std::deque<gateway_info_t> gateways;
    service.getGateways(gateways);
    return gateways;
}

// The port a connected socket leads to; 0 when it has no peer.
uint16_t peerPortOf(const Socket &socket)
{
    uint32_t address = 0;
    uint16_t port = 0;
    return socket.getPeerEndpoint(address, port) ? port : 0;
}

bool refuses(uint16_t port)
{
    return connectLoopback(port, "Late client") == nullptr;
}

} // namespace

TEST(ServiceModes, ReachableServerMakesAGatewayOnASystemChosenPort)
{
    LogCapture capture;
    sockettest::Listener server;
    const std::string serverPort = std::to_string(server.port());
    TestService service({"--server-address", "127.0.0.1", "--server-port", serverPort.c_str()},
                        TestService::Responder::FollowsServer);
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(capture.waitFor("Gateway started on port"));

    const std::optional<uint16_t> port = service.getGatewayPort();
    ASSERT_TRUE(port.has_value());
    EXPECT_NE(*port, 0) << "the system chose the port";
    EXPECT_EQ(countLogged(capture, Info, formatString("Gateway started on port %d", *port)), 1);
    EXPECT_FALSE(service.isDiscoveryResponderRunning());
    EXPECT_FALSE(capture.contains("Discovery responder"));
    EXPECT_TRUE(service.isServerConnected());

    const auto test = acceptFrom(server);
    ASSERT_NE(test, nullptr) << "the server test reached the server";
    EXPECT_TRUE(sockettest::seesEndOfStream(*test)) << "the test connection is closed after the test";
    EXPECT_NE(connectLoopback(*port), nullptr) << "the gateway listens on the port it reports";
}

TEST(ServiceModes, FailedServerTestMakesASlaveThatDropsItsSlaves)
{
    LogCapture capture;
    auto server = std::make_unique<sockettest::Listener>();
    const std::string serverPort = std::to_string(server->port());
    // The responder that a failed server test opens takes UDP 9102: free in
    // the test's private network namespace; elsewhere (under Wine) the test
    // needs it free.
    if (!portFree(Transport::Datagram, ResponderPort))
        GTEST_SKIP() << "UDP 9102 is taken: this test needs a private network namespace";
    TestService service({"--server-address", "127.0.0.1", "--server-port", serverPort.c_str(), "--printer-tunnel-port",
                         "0"},
                        TestService::Responder::FollowsServer);
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(capture.waitFor("Gateway started on port"));
    const uint16_t gatewayPort = service.getGatewayPort().value_or(0);
    ASSERT_NE(gatewayPort, 0);
    service.addPrinter(PrinterA, true, false);
    service.addSlave("slave-guid", 0x0A000005u);
    ASSERT_EQ(slavesOf(service).size(), 1u);
    ASSERT_TRUE(service.isServerConnected());

    server.reset();  // the server goes away
    EXPECT_EQ(service.updateServerState(), nullptr);
    // The test's outcome reaches the service thread, which switches the modes.
    ASSERT_TRUE(sockettest::eventually([&] { return !service.getGatewayPort().has_value(); }));
    if (capture.contains("Failed to start discovery responder"))
        GTEST_SKIP() << "UDP 9102 was taken by someone else meanwhile";

    EXPECT_FALSE(service.getGatewayPort().has_value());
    EXPECT_EQ(countLogged(capture, Info, "Gateway closed"), 1);
    EXPECT_TRUE(refuses(gatewayPort)) << "the gateway listener is closed";
    EXPECT_TRUE(slavesOf(service).empty()) << "a failed server test drops every slave";
    service.addSlave("slave-guid", 0x0A000005u);
    EXPECT_TRUE(slavesOf(service).empty()) << "and a slave is not kept while the server is unreachable";
    EXPECT_TRUE(service.isDiscoveryResponderRunning());
    EXPECT_EQ(countLogged(capture, Info, "Discovery responder started"), 1);
    EXPECT_TRUE(service.isServerConnected()) << "kept while a printer is registered";

    service.removePrinter(PrinterA);
    EXPECT_EQ(service.updateServerState(), nullptr);
    EXPECT_TRUE(sockettest::eventually([&] { return !service.isServerConnected(); }))
        << "forgotten once no printer is registered";
    EXPECT_EQ(countLogged(capture, Info, "Discovery responder started"), 1)
        << "a second failed test opens nothing new";
}

TEST(ServiceModes, SlaveOptionNeverContactsTheServerAndRoutesThroughAGateway)
{
    sockettest::Listener server;
    sockettest::Listener gateway;
    const std::string serverPort = std::to_string(server.port());
    // The responder stays off (TestService): the point here is the server.
    TestService service({"--server-port", serverPort.c_str(), "--slave", "true"});
    std::atomic<int> notifications{0};
    service.statusChanged.connect([&] { ++notifications; });
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(sockettest::eventually([&] { return notifications > 0; })) << "the first cycle switched the modes";
    EXPECT_FALSE(server.hasPending(0)) << "the first cycle did not connect to the server";

    EXPECT_EQ(service.updateServerState(), nullptr);
    EXPECT_EQ(service.testServerConnection(), nullptr);
    EXPECT_FALSE(server.hasPending(0)) << "nor did an explicit server test";
    EXPECT_FALSE(service.getGatewayPort().has_value()) << "a slave runs no gateway listener";
    EXPECT_FALSE(service.isServerConnected());

    service.addGateway({"gateway-guid", Loopback, gateway.port()});
    bool viaGateway = false;
    const std::shared_ptr<Socket> route = service.getServerConnection(&viaGateway);
    ASSERT_NE(route, nullptr);
    EXPECT_TRUE(viaGateway);
    EXPECT_TRUE(gateway.hasPending(0)) << "the printers' route leads to the gateway";
    EXPECT_FALSE(server.hasPending(0));
}

TEST(ServiceModes, ForcedGatewayAndResponderRunWhateverTheServerAndKeepPrintersOut)
{
    if (!portFree(Transport::Datagram, ResponderPort))
        GTEST_SKIP() << "UDP 9102 is taken: this test needs a private network namespace";
    LogCapture capture;
    auto server = std::make_unique<sockettest::Listener>();
    const std::string serverPort = std::to_string(server->port());
    TestService service({"--server-port", serverPort.c_str(), "--gateway", "true", "--discovery-responder", "true",
                         "--static-printers", "127.0.4.10", "--printer-tunnel-port", "0"});
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(capture.waitFor("Gateway started on port"));
    ASSERT_TRUE(sockettest::eventually([&] {
        return capture.contains("Discovery responder started") || capture.contains("Failed to start discovery responder");
    }));
    if (capture.contains("Failed to start discovery responder"))
        GTEST_SKIP() << "UDP 9102 was taken by someone else meanwhile";
    // The server is reachable: the responder runs only because it is forced.
    EXPECT_TRUE(service.isDiscoveryResponderRunning());
    EXPECT_TRUE(service.getGatewayPort().has_value());

    server.reset();  // now unreachable: the gateway runs only because it is forced
    EXPECT_EQ(service.updateServerState(), nullptr);
    ASSERT_TRUE(sockettest::eventually([&] { return !service.isServerConnected(); })) << "the modes were switched";
    EXPECT_TRUE(service.isDiscoveryResponderRunning());
    EXPECT_TRUE(service.getGatewayPort().has_value());
    EXPECT_FALSE(capture.contains("Gateway closed"));
    EXPECT_FALSE(capture.contains("Discovery responder closed"));

    service.addPrinter(PrinterB, true, false);
    service.addPrinter(PrinterA, false, true);
    EXPECT_TRUE(service.getRegisteredPrinters().empty()) << "neither the static nor a discovered printer";
    EXPECT_FALSE(service.getPrinterTunnel().present);
    EXPECT_FALSE(capture.contains("Printer's tunnel"));
}

TEST(ServiceModes, TheRouteTakesAGatewayThatAcceptsAndPausesThoseThatFail)
{
    LogCapture capture;
    auto accepting = std::make_unique<sockettest::Listener>();
    const uint16_t acceptingPort = accepting->port();
    const uint16_t refusingPort = sockettest::releasedPort();
    TestService service;  // the server refuses
    ASSERT_TRUE(service.start());
    // Two addresses: the table keeps one entry per address.
    ASSERT_TRUE(service.addGateway({"refusing-guid", 0x7F000002u, refusingPort}));
    ASSERT_TRUE(service.addGateway({"accepting-guid", Loopback, acceptingPort}));

    bool viaGateway = false;
    const std::shared_ptr<Socket> route = service.getServerConnection(&viaGateway);
    ASSERT_NE(route, nullptr);
    EXPECT_TRUE(viaGateway);
    EXPECT_EQ(peerPortOf(*route), acceptingPort);
    EXPECT_TRUE(accepting->hasPending(0));
    EXPECT_EQ(gatewaysOf(service).size(), 2u) << "a failure does not forget a gateway";

    // The gateway that answered is tried first now; when it refuses as well,
    // both are paused and there is no route.
    accepting.reset();
    viaGateway = false;
    EXPECT_EQ(service.getServerConnection(&viaGateway), nullptr);
    EXPECT_EQ(countLogged(capture, Debug,
                          formatString("Gateway '127.0.0.1:%d' failed, not tried again for 300 s", acceptingPort)),
              1);
    EXPECT_EQ(countLogged(capture, Debug,
                          formatString("Gateway '127.0.0.2:%d' failed, not tried again for 300 s", refusingPort)),
              1);
    const auto gateways = gatewaysOf(service);
    ASSERT_EQ(gateways.size(), 2u);
    const auto gatewayConnects = [&] {
        return capture.count(formatString("Connect to 127.0.0.1:%d", acceptingPort)) +
               capture.count(formatString("Connect to 127.0.0.2:%d", refusingPort));
    };
    const int connects = gatewayConnects();
    EXPECT_EQ(service.getServerConnection(&viaGateway), nullptr);
    EXPECT_EQ(gatewayConnects(), connects) << "no paused gateway is tried";
}

TEST(ServiceModes, AGatewayThatNeverAnswersDoesNotHoldUpTheRouteNorLosesItsTurn)
{
    sockettest::FullListener silent;  // drops every connection request
    ASSERT_TRUE(silent.full()) << "could not fill the listener's accept queue";
    sockettest::Listener accepting(16, 0, 0x7F000002u);
    LogCapture capture;
    TestService service;  // the server refuses
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(service.addGateway({"silent-guid", Loopback, silent.port()}));
    ASSERT_TRUE(service.addGateway({"accepting-guid", 0x7F000002u, accepting.port()}));
    bool viaGateway = false;
    // Gateways that never answered are tried all at once: the one that
    // accepts wins without waiting for the silent one's time-out, whose
    // connect is ended and not held against it.
    const std::shared_ptr<Socket> route = service.getServerConnection(&viaGateway);
    ASSERT_NE(route, nullptr);
    EXPECT_TRUE(viaGateway);
    EXPECT_EQ(peerPortOf(*route), accepting.port());
    EXPECT_FALSE(capture.contains("failed, not tried again")) << "the silent gateway was not given up";

    // Alone, the silent gateway fails after the gateways' connect time-out.
    ASSERT_TRUE(service.removeGateway(0x7F000002u, accepting.port()));
    EXPECT_EQ(service.getServerConnection(&viaGateway), nullptr);
    EXPECT_EQ(countLogged(capture, Debug,
                          formatString("Gateway '127.0.0.1:%d' failed, not tried again for 300 s", silent.port())),
              1);
}

TEST(ServiceModes, StopSwitchesEverythingOffButKeepsTheGateways)
{
    LogCapture capture;
    sockettest::Listener server;
    const std::string serverPort = std::to_string(server.port());
    TestService service({"--server-port", serverPort.c_str(), "--static-printers", "127.0.4.10;127.0.4.11",
                         "--printer-tunnel", "true", "--printer-tunnel-port", "0"});
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(capture.waitFor("Gateway started on port"));
    ASSERT_TRUE(sockettest::eventually([&] { return service.getRegisteredPrinters().size() == 2; }));
    const PrinterTunnelInfo tunnel = service.getPrinterTunnel();
    ASSERT_TRUE(tunnel.present);
    const uint16_t gatewayPort = service.getGatewayPort().value_or(0);
    service.addSlave("slave-guid", 0x0A000005u);
    ASSERT_EQ(slavesOf(service).size(), 1u);
    service.addGateway({"gateway-guid", 0x0A000001u, 8000});

    capture.clear();
    service.stop();
    EXPECT_TRUE(service.getRegisteredPrinters().empty());
    EXPECT_TRUE(slavesOf(service).empty());
    EXPECT_FALSE(service.getPrinterTunnel().present);
    EXPECT_FALSE(service.getGatewayPort().has_value());
    EXPECT_FALSE(service.isDiscoveryResponderRunning());
    EXPECT_FALSE(service.isServerConnected());
    EXPECT_EQ(countLogged(capture, Info, "Printer's tunnel closed"), 1);
    EXPECT_EQ(countLogged(capture, Info, "Gateway closed"), 1);
    EXPECT_TRUE(refuses(tunnel.port)) << "the tunnel's port is closed";
    EXPECT_TRUE(refuses(gatewayPort)) << "the gateway's port is closed";
    EXPECT_EQ(gatewaysOf(service).size(), 1u) << "a stop does not forget the known gateways";
}

TEST(PrinterTunnel, BusyForcedPortFailsOnceWithoutFallingBack)
{
    LogCapture capture;
    auto busy = std::make_unique<sockettest::Listener>();
    const std::string port = std::to_string(busy->port());
    TestService service({"--printer-tunnel-port", port.c_str()});
    std::mutex errorsMutex;
    std::vector<std::string> errors;
    service.errorMessage.connect([&](const std::string &text) {
        std::lock_guard<std::mutex> lock(errorsMutex);
        errors.push_back(text);
    });
    ASSERT_TRUE(service.start());
    service.addPrinter(PrinterA, true, false);

    const std::string text = "Failed to create printer's tunnel on port " + port;
    EXPECT_EQ(countLogged(capture, Error, text), 1);
    {
        std::lock_guard<std::mutex> lock(errorsMutex);
        EXPECT_EQ(errors, std::vector<std::string>{text});
    }
    EXPECT_FALSE(service.getPrinterTunnel().present);
    EXPECT_FALSE(capture.contains("Printer's tunnel opened"));
    EXPECT_FALSE(capture.contains("testing port")) << "no other port is tried";

    // The next change of the printers tries again.
    busy.reset();
    service.addPrinter(PrinterB, true, false);
    service.removePrinter(PrinterB);
    const PrinterTunnelInfo tunnel = service.getPrinterTunnel();
    ASSERT_TRUE(tunnel.present);
    EXPECT_EQ(std::to_string(tunnel.port), port);
    EXPECT_EQ(tunnel.printer->address(), PrinterA);
    EXPECT_EQ(countLogged(capture, Info, "Printer's tunnel opened on port " + port), 1);
}

TEST(PrinterTunnel, BusyPort80FallsBackTo8080AndLeadsToThePrintersWebPort)
{
    // Held on the printer's address, port 80 is busy for the tunnel (which
    // binds every address) and serves as the printer's web pages as well.
    FixedListener web(WebPrinter, 80);
    if (!web.listening())
        GTEST_SKIP() << "port 80 cannot be held on 127.0.3.1: this test needs a private network namespace";
    if (!portFree(Transport::Stream, 8080))
        GTEST_SKIP() << "port 8080 is taken: this test needs a private network namespace";
    LogCapture capture;
    TestService service;
    ASSERT_TRUE(service.start());
    service.addPrinter(WebPrinter, true, false);
    if (capture.contains("Failed to open printer's tunnel on port 8080"))
        GTEST_SKIP() << "port 8080 was taken by someone else meanwhile";

    EXPECT_EQ(countLogged(capture, Warning, "Failed to open printer's tunnel on port 80, testing port 8080..."), 1);
    EXPECT_EQ(countLogged(capture, Info, "Printer's tunnel opened on port 8080"), 1);
    const PrinterTunnelInfo tunnel = service.getPrinterTunnel();
    ASSERT_TRUE(tunnel.present);
    EXPECT_EQ(tunnel.port, 8080);
    ASSERT_NE(tunnel.printer, nullptr);
    EXPECT_EQ(tunnel.printer->address(), WebPrinter);

    // Each browser connection gets a new connection to the printer's port 80.
    const auto browser = connectLoopback(8080, "Browser");
    ASSERT_NE(browser, nullptr);
    const auto page = web.accept();
    ASSERT_NE(page, nullptr) << "the tunnel connected to the printer's web port";
    expectBothWays(*browser, *page, 200000, 1);
    const auto second = connectLoopback(8080, "Browser");
    ASSERT_NE(second, nullptr);
    const auto secondPage = web.accept();
    ASSERT_NE(secondPage, nullptr);
    expectBothWays(*second, *secondPage, 1000, 2);
    browser->close();
    EXPECT_TRUE(sockettest::seesEndOfStream(*page)) << "a browser that leaves ends its own relay";
    expectBothWays(*second, *secondPage, 1000, 3);
}

TEST(PrinterTunnel, LeadsToTheOnlyPrinterOrToTheFirstWhenTheOptionAsks)
{
    LogCapture capture;
    {
        TestService service({"--printer-tunnel-port", "0"});
        ASSERT_TRUE(service.start());
        service.addPrinter(PrinterA, true, false);
        const PrinterTunnelInfo first = service.getPrinterTunnel();
        ASSERT_TRUE(first.present);
        ASSERT_NE(first.printer, nullptr);
        EXPECT_EQ(first.printer->address(), PrinterA);
        EXPECT_EQ(countLogged(capture, Info, formatString("Printer's tunnel opened on port %d", first.port)), 1);

        service.addPrinter(PrinterB, true, false);
        EXPECT_FALSE(service.getPrinterTunnel().present) << "two printers and no option: no tunnel";
        EXPECT_EQ(countLogged(capture, Info, "Printer's tunnel closed"), 1);
        EXPECT_TRUE(refuses(first.port));

        service.removePrinter(PrinterA);
        const PrinterTunnelInfo other = service.getPrinterTunnel();
        ASSERT_TRUE(other.present) << "one printer left: the tunnel leads to it";
        ASSERT_NE(other.printer, nullptr);
        EXPECT_EQ(other.printer->address(), PrinterB);
        EXPECT_NE(connectLoopback(other.port), nullptr);
    }
    {
        TestService service({"--printer-tunnel", "true", "--printer-tunnel-port", "0"});
        ASSERT_TRUE(service.start());
        service.addPrinter(PrinterA, true, false);
        service.addPrinter(PrinterB, true, false);
        const PrinterTunnelInfo tunnel = service.getPrinterTunnel();
        ASSERT_TRUE(tunnel.present);
        const auto registered = service.getRegisteredPrinters();
        ASSERT_EQ(registered.size(), 2u);
        EXPECT_EQ(tunnel.printer, registered.front()) << "the first printer of the registry";
    }
}

TEST(PrinterRegistry, RemovalWithAStaleIdentityKeepsTheNewPrinter)
{
    LogCapture capture;
    TestService service({"--printer-tunnel-port", "0"});
    ASSERT_TRUE(service.start());
    service.addPrinter(PrinterA, true, false);
    const std::shared_ptr<RemotePrinter> old = service.getRegisteredPrinters().at(0);
    service.removePrinter(PrinterA);
    service.addPrinter(PrinterA, true, false);
    const std::shared_ptr<RemotePrinter> current = service.getRegisteredPrinters().at(0);
    ASSERT_NE(current, old);

    service.removePrinter(PrinterA, old.get());  // the old printer's thread ending late
    auto registered = service.getRegisteredPrinters();
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0], current);
    EXPECT_EQ(countLogged(capture, Info, "Printer '127.0.4.10' removed"), 1);
    EXPECT_EQ(service.getPrinterTunnel().printer, current);

    service.removePrinter(PrinterA, current.get());
    EXPECT_TRUE(service.getRegisteredPrinters().empty()) << "its own identity removes it";
    EXPECT_EQ(countLogged(capture, Info, "Printer '127.0.4.10' removed"), 2);
}

TEST(PrinterTunnel, ConnectionsItCannotServeAreClosedAtOnce)
{
    LogCapture capture;
    TestService service;  // not started yet: it refuses to register sockets
    auto printer = std::make_shared<RemotePrinter>(PrinterA, true, false, &service);
    RemotePrinterTunnel refused(printer);
    ASSERT_TRUE(refused.createServer(0));
    const auto first = connectLoopback(refused.getLocalPort());
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(sockettest::seesEndOfStream(*first, 1000));
    ASSERT_TRUE(capture.waitFor("internal error (clientSocket is null)"));
    EXPECT_EQ(countLogged(capture, Error, "Unhandled exception in server: internal error (clientSocket is null)"), 1)
        << "caught at the top of the connection's thread and logged";

    // The printer has gone: accepted and closed, without a word.
    printer.reset();
    capture.clear();
    const auto second = connectLoopback(refused.getLocalPort());
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(sockettest::seesEndOfStream(*second, 1000));
    for (const auto &message : capture.messages())
        EXPECT_NE(message->text.find("(Client)"), std::string::npos) << "logged: " << message->text;

    // The printer is there but its web port is not: one error per connection.
    ASSERT_TRUE(service.start());
    auto silent = std::make_shared<RemotePrinter>(PrinterB, true, false, &service);
    RemotePrinterTunnel tunnel(silent);
    ASSERT_TRUE(tunnel.createServer(0));
    for (int i = 0; i < 2; ++i) {
        const auto browser = connectLoopback(tunnel.getLocalPort());
        ASSERT_NE(browser, nullptr);
        EXPECT_TRUE(sockettest::seesEndOfStream(*browser, 2000));
    }
    ASSERT_TRUE(sockettest::eventually([&] {
        return countLogged(capture, Error, "Failed to create printer's tunnel (status port connection failed)") == 2;
    }));
}

TEST(ServiceLifecycle, StopRightAfterStartIsNotLost)
{
    // Many registered sockets make the stop's closing step long, so that the
    // service thread gets going while the stop is under way; a few attempts
    // make that all but certain.
    for (int attempt = 1; attempt <= 5; ++attempt) {
        TestService service;
        std::vector<std::shared_ptr<Socket>> open;
        for (int i = 0; i < 100000; ++i)
            open.push_back(service.SocketsManager::createSocket("Open"));
        ASSERT_TRUE(service.start());
        // A second stop wakes the service from its pause.
        sockettest::Watchdog watchdog(3000, [&] { service.stop(); });
        service.stop();
        ASSERT_FALSE(watchdog.disarm()) << "attempt " << attempt
                                        << ": the stop was lost and the service went to sleep for its 60-s pause";
    }
}
