#include "discoveryfinder.h"
#include "discoveryparams.h"
#include "discoveryprotocol.h"
#include "discoveryresponder.h"
#include "filesystem.h"
#include "logcapture.h"
#include "remoteprinter.h"
#include "sockettesttools.h"
#include "stringutils.h"
#include "testservice.h"

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono;

namespace {

using sockettest::Loopback;
// Where the finder tests' simulated printers listen: one address per test, so
// that tests running at the same time do not hear each other's requests.
constexpr uint32_t AnswerTestPrinter = 0x7F000102u;  // 127.0.1.2
constexpr uint32_t TimingTestPrinter = 0x7F000103u;  // 127.0.1.3

std::string bytes(const Buffer &buffer)
{
    return std::string(reinterpret_cast<const char *>(buffer.data()), buffer.length());
}

std::string header(const char *kind)
{
    std::string text("Kestova\0", 8);
    std::string padded(kind);
    padded.resize(8, '\0');
    return text + padded;
}

// A UDP socket on the loopback address for the test's side of an exchange.
struct Peer {
    explicit Peer(uint16_t port = 0, uint32_t address = Loopback)
    {
        EXPECT_TRUE(socket.openDatagram());
        EXPECT_TRUE(socket.bind(address, port));
    }
    std::string receive(uint32_t &from, uint16_t &fromPort, unsigned waitMs = 5000)
    {
        char data[4096];
        if (socket.waitReadable(waitMs) != 1)
            return "(nothing)";
        const int length = socket.receiveFrom(data, sizeof data, from, fromPort);
        return length < 0 ? "(failed)" : std::string(data, static_cast<size_t>(length));
    }
    void send(const std::string &datagram, uint16_t port, uint32_t to = Loopback)
    {
        EXPECT_EQ(socket.sendTo(datagram.data(), static_cast<uint32_t>(datagram.size()), to, port),
                  static_cast<int>(datagram.size()));
    }
    Socket socket;
};

// The sender address that a datagram from a socket bound to `address`
// carries: `address` itself, except under Wine, which binds such a socket to
// every address of the interface, so that its datagrams leave from the
// interface's first one.
uint32_t datagramSenderFrom(uint32_t address)
{
    Peer sender(0, address);
    Peer receiver(0, Loopback);
    sender.send("probe", receiver.socket.getLocalPort(), Loopback);
    uint32_t from = 0;
    uint16_t port = 0;
    EXPECT_EQ(receiver.receive(from, port, 2000), "probe");
    return from;
}

} // namespace

TEST(DiscoveryParams, ParsesTrimsAndLetsLaterLinesWin)
{
    DiscoveryParams params(" guid = a \r\nno equals sign\n\ngateway_port=8000\nguid=b\r\n=empty key\nempty=");
    EXPECT_EQ(params.get("guid"), "b");
    EXPECT_EQ(params.get("gateway_port"), "8000");
    EXPECT_EQ(params.get(""), "empty key");
    EXPECT_EQ(params.get("empty"), "");
    EXPECT_EQ(params.get("absent"), "");
    params.parse("x=1");
    EXPECT_EQ(params.get("guid"), "") << "parse starts from an empty map";
}

TEST(DiscoveryParams, ToStringPutsGuidFirstWithoutTrailingLineFeed)
{
    DiscoveryParams params;
    params.set("gateway_port", "8000");
    EXPECT_EQ(params.toString(), "gateway_port=8000");
    params.set("guid", "g");
    EXPECT_EQ(params.toString(), "guid=g\ngateway_port=8000");
    EXPECT_EQ(DiscoveryParams(params.toString()).get("gateway_port"), "8000");
}

TEST(DiscoveryProtocol, HeaderLayoutAndKindTests)
{
    Buffer buffer(1024);
    ASSERT_TRUE(DiscoveryProtocol::appendHeader(buffer, "Bridge"));
    EXPECT_EQ(bytes(buffer), header("Bridge"));
    const auto *data = buffer.data();
    EXPECT_TRUE(DiscoveryProtocol::hasVendorTag(data, 16));
    EXPECT_FALSE(DiscoveryProtocol::hasVendorTag(data, 15));
    EXPECT_TRUE(DiscoveryProtocol::isKind(data, 16, "Bridge", 6));
    EXPECT_FALSE(DiscoveryProtocol::isKind(data, 16, "HereMI", 6));
    const std::string foreign = "Kestovo" + header("HereMI").substr(7);
    EXPECT_FALSE(DiscoveryProtocol::hasVendorTag(reinterpret_cast<const unsigned char *>(foreign.data()), 16));
}

TEST(DiscoveryProtocol, DatagramsAreToldApartByLengthTagAndKind)
{
    namespace dp = DiscoveryProtocol;
    auto answer = [](const std::string &datagram) {
        return dp::answerKind(reinterpret_cast<const unsigned char *>(datagram.data()), datagram.size());
    };
    auto request = [](const std::string &datagram) {
        return dp::requestKind(reinterpret_cast<const unsigned char *>(datagram.data()), datagram.size());
    };
    EXPECT_EQ(answer(header("HereMI")), dp::AnswerKind::Printer);
    EXPECT_EQ(answer(header("HereMI").substr(0, 15)), dp::AnswerKind::TooShort);
    EXPECT_EQ(answer("Kestova\x7f" + header("HereMIxy").substr(8)), dp::AnswerKind::Printer) << "byte 7 is not examined";
    EXPECT_EQ(answer(header("Bridge") + "guid=g"), dp::AnswerKind::Bridge);
    EXPECT_EQ(answer(header("WhoRU")), dp::AnswerKind::Foreign);
    EXPECT_EQ(answer("Kestovo" + header("HereMI").substr(7)), dp::AnswerKind::Foreign);
    EXPECT_EQ(request(header("WhoRUxyz")), dp::RequestKind::Request) << "bytes 13-15 are not examined";
    EXPECT_EQ(request(header("WhoRU").substr(0, 15)), dp::RequestKind::TooShort);
    EXPECT_EQ(request(header("Bridge")), dp::RequestKind::Foreign);

    const std::string response = header("Bridge") + "x=1\r\n guid = b \r\n";
    EXPECT_EQ(dp::bridgeGuid(reinterpret_cast<const unsigned char *>(response.data()), response.size()), "b");
}

TEST(DiscoveryProtocol, GatewayOfRequestNeedsGuidAndPortAndReadsThePortAsDecimal)
{
    auto gateway = [](const std::string &text, std::string &guid, uint16_t &port) {
        return DiscoveryProtocol::gatewayOfRequest(reinterpret_cast<const unsigned char *>(text.data()), text.size(),
                                                   guid, port);
    };
    std::string guid;
    uint16_t port = 1;
    EXPECT_FALSE(gateway("guid=g", guid, port));
    EXPECT_FALSE(gateway("gateway_port=80", guid, port));
    EXPECT_FALSE(gateway(std::string(48, '\0'), guid, port)) << "a printers request names no gateway";
    ASSERT_TRUE(gateway("gateway_port=65535\nguid=g", guid, port));
    EXPECT_EQ(guid, "g");
    EXPECT_EQ(port, 65535);
    for (const char *text : {"65536", "-1", "+80", "8o", "123456", "0x50"}) {
        port = 1;
        ASSERT_TRUE(gateway(std::string("guid=g\ngateway_port=") + text, guid, port));
        EXPECT_EQ(port, 0) << text;
    }
}

TEST(DiscoveryFinder, PrintersRequestIsTheHeaderAnd48ZeroBytes)
{
    BridgeService service;
    DiscoveryFinder finder(&service, 0, 0xFFFFFFFFu);
    const auto request = finder.createPrintersDiscoveryRequest();
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(bytes(*request), header("WhoRU") + std::string(48, '\0'));
    EXPECT_EQ(finder.createBridgesDiscoveryRequest(), nullptr) << "no gateway listener, no bridges request";
}

TEST(DiscoveryFinder, AnswersTurnIntoPrintersAndSlavesAndBadOnesAreDropped)
{
    LogCapture capture;
    // A reachable server makes the service a gateway, which keeps slaves.
    sockettest::Listener server;
    const std::string serverPort = std::to_string(server.port());
    TestService service({"--server-port", serverPort.c_str()});
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(capture.waitFor("Gateway started on port"));

    Peer printer(9101, AnswerTestPrinter);
    // The finder sends to a loopback address instead of a broadcast address,
    // so the whole exchange stays on this machine.
    DiscoveryFinder finder(&service, Loopback, AnswerTestPrinter);
    ASSERT_TRUE(finder.start());

    uint32_t from = 0;
    uint16_t fromPort = 0;
    const std::string request = printer.receive(from, fromPort);
    EXPECT_EQ(request, header("WhoRU") + std::string(48, '\0'));
    EXPECT_EQ(from, Loopback);
    ASSERT_NE(fromPort, 0);

    printer.send(std::string(15, 'x'), fromPort, from);
    printer.send("Kestovo" + header("HereMI").substr(7), fromPort, from);
    printer.send(header("Bridge") + "gateway_port=1", fromPort, from);
    printer.send(header("Bridge") + "guid=  ", fromPort, from);
    printer.send(header("Bridge") + "guid=remote-bridge", fromPort, from);
    printer.send(header("HereMI"), fromPort, from);

    const std::string added = "Printer '" + addressToString(datagramSenderFrom(AnswerTestPrinter)) + "' added";
    EXPECT_TRUE(capture.waitFor(added)) << [&] {
        std::string logged;
        for (const auto &message : capture.messages())
            logged += message->text + "\n";
        return logged;
    }();
    EXPECT_TRUE(capture.contains("Invalid discovery response: expected at least 16 bytes, got 15 bytes"));
    std::deque<SlaveInfo> slaves;
    service.getSlaves(slaves);
    ASSERT_EQ(slaves.size(), 1u) << "bridge answers without a guid add nothing";
    EXPECT_EQ(slaves[0].guid, "remote-bridge");
    EXPECT_EQ(capture.count("added"), 2) << "one printer and one slave; the foreign tag was ignored";

    const auto begin = steady_clock::now();
    service.stop();
    finder.stop();
    EXPECT_LT(steady_clock::now() - begin, milliseconds(3000)) << "a stopping service ends the pass";
}

TEST(DiscoveryFinder, RepeatsItsRequestEveryThreeSecondsWithoutAnswers)
{
    TestService service;
    ASSERT_TRUE(service.start());
    Peer printer(9101, TimingTestPrinter);
    DiscoveryFinder finder(&service, Loopback, TimingTestPrinter);
    const auto begin = steady_clock::now();
    ASSERT_TRUE(finder.start());
    std::vector<double> times;
    for (;;) {
        uint32_t from;
        uint16_t port;
        if (printer.receive(from, port, 5000) == "(nothing)")
            break;
        times.push_back(duration<double>(steady_clock::now() - begin).count());
    }
    finder.stop();
    ASSERT_EQ(times.size(), 5u) << "requests at about 0, 3, 6, 9 and 12 s";
    EXPECT_LT(times[0], 1.0);
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_NEAR(times[i] - times[i - 1], 3.0, 0.6);
}

TEST(DiscoveryResponder, AnswersWithItsGuidAndRegistersTheAskingGateway)
{
    LogCapture capture;
    TestService service;
    ASSERT_TRUE(service.start());
    auto responder = std::make_unique<DiscoveryResponder>(&service);
    ASSERT_TRUE(responder->createBroadcastServer(0));
    const uint16_t port = responder->getLocalPort();
    ASSERT_NE(port, 0);

    Peer gateway;
    gateway.send(std::string(10, 'x'), port);
    gateway.send(header("Bridge") + "guid=x", port);  // not a request: ignored
    gateway.send(header("WhoRU") + "guid=gateway-guid\ngateway_port=8000", port);
    uint32_t from = 0;
    uint16_t fromPort = 0;
    EXPECT_EQ(gateway.receive(from, fromPort), header("Bridge") + "guid=" + service.getInstanceGuid());
    EXPECT_TRUE(capture.contains("Invalid discovery request: expected at least 16 bytes, got 10 bytes"));
    EXPECT_TRUE(capture.contains("Discovery request received from '127.0.0.1'"));

    gateway.send(header("WhoRU") + "guid=other\ngateway_port=http", port);
    gateway.send(header("WhoRU") + std::string(48, '\0'), port);  // a printers request is answered too
    EXPECT_EQ(gateway.receive(from, fromPort).substr(0, 16), header("Bridge"));
    EXPECT_EQ(gateway.receive(from, fromPort).substr(0, 16), header("Bridge"));

    std::deque<gateway_info_t> gateways;
    service.getGateways(gateways);
    ASSERT_EQ(gateways.size(), 1u) << "one entry per gateway address";
    EXPECT_EQ(gateways[0].guid, "other");
    EXPECT_EQ(gateways[0].address, Loopback);
    EXPECT_EQ(gateways[0].port, 0) << "a port that is no number gives 0, and the newer announcement counts";

    responder.reset();  // closes the shared handle: the serving clone ends
    EXPECT_TRUE(capture.waitFor("recvfrom() failed"));
}

TEST(DiscoveryResponder, HandleRequestNeedsBothKeys)
{
    BridgeService service;
    DiscoveryResponder responder(&service);
    const std::string onlyGuid = "guid=g";
    EXPECT_TRUE(responder.handleRequest(Loopback, reinterpret_cast<const unsigned char *>(onlyGuid.data()),
                                        onlyGuid.size()));
    EXPECT_TRUE(responder.handleRequest(Loopback, nullptr, 0));
    std::deque<gateway_info_t> gateways;
    service.getGateways(gateways);
    EXPECT_TRUE(gateways.empty());

    Buffer response(1024);
    ASSERT_TRUE(responder.createResponse(response));
    EXPECT_EQ(bytes(response), header("Bridge") + "guid=" + service.getInstanceGuid());
}
