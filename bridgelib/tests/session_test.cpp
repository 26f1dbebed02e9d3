#include "fakeprinter.h"
#include "littleendian.h"
#include "logcapture.h"
#include "platform.h"
#include "printerinfo.h"
#include "remoteprinter.h"
#include "sessionloop.h"
#include "sessionprotocol.h"
#include "servicetesttools.h"
#include "sockettesttools.h"
#include "testservice.h"
#include "version.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace servicetest;
using namespace sockettest;
namespace sp = SessionProtocol;

namespace {

constexpr uint32_t SessionPrinter = 0x7F000601u;  // 127.0.6.1
constexpr uint32_t RefusedPrinter = 0x7F000602u;  // 127.0.6.2
constexpr uint32_t SlavePrinter = 0x7F000603u;    // 127.0.6.3
constexpr uint32_t TunnelsPrinter = 0x7F000604u;  // 127.0.6.4
const std::string LongName = "A printer name of exactly forty letters.";

std::string field(const std::string &bytes, size_t offset, size_t size)
{
    return bytes.substr(offset, size);
}

std::string padded(const std::string &text, size_t size)
{
    std::string result = text.substr(0, size);
    result.resize(size, '\0');
    return result;
}

// A message of `type` whose bytes from 16 on are a pattern, so that the
// bytes a reply must give back unchanged can be checked.
sp::GatewayRequest message(int16_t type, uint64_t value)
{
    sp::GatewayRequest request{};
    const std::string fill = pattern(request.size(), 7);
    std::memcpy(request.data(), fill.data(), request.size());
    LittleEndian::write16(request.data(), static_cast<uint16_t>(type));
    LittleEndian::write64(request.data() + 8, value);
    return request;
}

std::string bytesOf(const sp::GatewayRequest &request)
{
    return std::string(reinterpret_cast<const char *>(request.data()), request.size());
}

// The WVT server's side: the next connection that registers a printer (the
// service's own server tests connect and close without a byte). The 188
// registration bytes go to `registration`.
std::shared_ptr<Socket> acceptSession(const Listener &server, std::string &registration, int limitMs = 15000)
{
    const auto deadline = Clock::now() + milliseconds(limitMs);
    while (Clock::now() < deadline) {
        std::shared_ptr<Socket> connection = acceptFrom(server, 500);
        if (!connection)
            continue;
        registration = readExactly(*connection, sp::RequestSize + sp::DataSize);
        if (registration.size() == sp::RequestSize + sp::DataSize)
            return connection;
    }
    return nullptr;
}

// The next connection whose first bytes are `opening`. The service's own
// server tests (a connection closed without a byte) may come in between.
std::shared_ptr<Socket> acceptOpening(const Listener &server, const std::string &opening, int limitMs = 10000)
{
    const auto deadline = Clock::now() + milliseconds(limitMs);
    while (Clock::now() < deadline) {
        std::shared_ptr<Socket> connection = acceptFrom(server, 500);
        if (connection && readExactly(*connection, opening.size()) == opening)
            return connection;
    }
    return nullptr;
}

void send(Socket &socket, const sp::GatewayRequest &request)
{
    ASSERT_EQ(socket.write(request.data(), static_cast<uint32_t>(request.size())), static_cast<int>(request.size()));
}

void sendLength(Socket &socket, uint32_t length)
{
    unsigned char field[4];
    LittleEndian::write32(field, length);
    ASSERT_EQ(socket.write(field, 4), 4);
}

} // namespace

TEST(SessionProtocol, RegistrationCarriesTheIdentityInItsFields)
{
    PrinterInfo info;
    std::memcpy(info.name, LongName.data(), sizeof info.name);  // 32 bytes, no NUL
    std::memset(info.model, 'M', sizeof info.model);              // a full field
    std::strcpy(info.status, "Ready");
    std::memset(info.serial, 'S', sizeof info.serial);
    std::strcpy(info.version, "2.1");
    std::strcpy(info.orderNumber, "ORDER-7");
    info.installationDate = -5;
    info.systemId = 4242;

    const sp::GatewayRequest request = sp::registerRequest(info);
    const std::string head = bytesOf(request);
    EXPECT_EQ(sp::messageType(request), sp::WVT_REGISTER);
    EXPECT_EQ(field(head, 2, 32), padded(LongName.substr(0, 31), 32));
    EXPECT_EQ(field(head, 34, 32), std::string(32, 'M'));
    EXPECT_EQ(field(head, 66, 2), std::string(2, '\0'));

    const sp::GatewayData data = sp::registrationData(info, "Linux (x86_64)");
    const std::string body(reinterpret_cast<const char *>(data.data()), data.size());
    EXPECT_EQ(field(body, 0, 32), padded("Ready", 32));
    EXPECT_EQ(field(body, 32, 16), padded("2.1", 16));
    EXPECT_EQ(field(body, 48, 16), std::string(16, 'S'));
    EXPECT_EQ(field(body, 64, 16), padded("ORDER-7", 16));
    EXPECT_EQ(static_cast<int32_t>(LittleEndian::read32(data.data() + 80)), -5);
    EXPECT_EQ(LittleEndian::read32(data.data() + 84), 4242u);
    EXPECT_EQ(field(body, 88, 16), padded(OrvelBridgeVersion, 16)) << "the build's version";
    EXPECT_EQ(field(body, 104, 16), padded("Linux (x86_64)", 16));
}

TEST(SessionProtocol, KeepAliveReplyWritesTheStatusAndKeepsEveryOtherByte)
{
    PrinterInfo info;
    std::strcpy(info.status, "Paper");
    sp::GatewayRequest request = message(sp::WVT_SERVER_KEEPALIVE, 0x0102030405060708ull);
    const std::string received = bytesOf(request);
    EXPECT_EQ(sp::passwordVersion(request), 0x0102030405060708ll);
    EXPECT_EQ(sp::passwordVersion(message(sp::WVT_SERVER_KEEPALIVE, static_cast<uint64_t>(-1))), -1);

    sp::makeKeepAliveReply(request, sp::WVT_GET_PASSWORDS, info);
    const std::string reply = bytesOf(request);
    EXPECT_EQ(sp::messageType(request), sp::WVT_GET_PASSWORDS);
    EXPECT_EQ(field(reply, 2, 6), std::string("Paper\0", 6));
    EXPECT_EQ(field(reply, 8, 60), field(received, 8, 60));

    // A status that fills its field runs over the version, as the server expects.
    std::memset(info.status, 'x', sizeof info.status);
    sp::makeKeepAliveReply(request, sp::WVT_KEEPALIVE_REPLY, info);
    const std::string full = bytesOf(request);
    EXPECT_EQ(field(full, 2, 33), std::string(32, 'x') + '\0');
    EXPECT_EQ(field(full, 35, 33), field(received, 35, 33));

    EXPECT_EQ(sp::tunnelPort(message(sp::WVT_OPEN_TUNNEL, 8080)), 8080);
}

// One session from registration to a refused password file, against a
// printer and a server of the test's own.
TEST(ServerSession, RegistersAnswersKeepAlivesDeliversPasswordsAndOpensTunnels)
{
    FakePrinter printer(SessionPrinter, LongName);
    ASSERT_TRUE(printer.listening()) << "127.0.6.1:9101 or 9102 is taken";
    FixedListener webPort(SessionPrinter, 0);
    ASSERT_TRUE(webPort.listening());
    Listener server;
    LogCapture log;
    const std::string serverPort = std::to_string(server.port());
    TestService service({"--server-port", serverPort.c_str(), "--static-printers", "127.0.6.1", "--gateway", "false"});
    ASSERT_TRUE(service.start());

    std::string registration;
    std::shared_ptr<Socket> session = acceptSession(server, registration);
    ASSERT_TRUE(session) << "no session registered";
    EXPECT_EQ(LittleEndian::read16(reinterpret_cast<const unsigned char *>(registration.data())), sp::WVT_REGISTER);
    EXPECT_EQ(field(registration, 2, 32), padded(LongName.substr(0, 31), 32));
    EXPECT_EQ(field(registration, 34, 32), padded("FakeJet", 32));
    EXPECT_EQ(field(registration, 68, 32), padded("Ready", 32));
    EXPECT_EQ(field(registration, 68 + 48, 16), padded("SERIAL-1", 16));
    EXPECT_EQ(field(registration, 68 + 88, 16), padded(OrvelBridgeVersion, 16));
    EXPECT_EQ(field(registration, 68 + 104, 16), padded(Platform::instance().getPlatformName(), 16));
    EXPECT_TRUE(log.contains("Printer '" + LongName.substr(0, 32) + "' connected to gateway"));

    // Version -1: nothing to fetch. The reply carries the printer's status.
    const sp::GatewayRequest noFile = message(sp::WVT_SERVER_KEEPALIVE, static_cast<uint64_t>(-1));
    send(*session, noFile);
    std::string reply = readExactly(*session, sp::RequestSize);
    ASSERT_EQ(reply.size(), sp::RequestSize);
    EXPECT_EQ(LittleEndian::read16(reinterpret_cast<const unsigned char *>(reply.data())), sp::WVT_KEEPALIVE_REPLY);
    EXPECT_EQ(field(reply, 2, 6), std::string("Ready\0", 6));
    EXPECT_EQ(field(reply, 8, 60), field(bytesOf(noFile), 8, 60));
    EXPECT_TRUE(eventually([&] { return service.isServerConnected(); }));

    // Version 0 is newer: the reply asks for the file, which reaches the printer.
    send(*session, message(sp::WVT_SERVER_KEEPALIVE, 0));
    reply = readExactly(*session, sp::RequestSize);
    EXPECT_EQ(LittleEndian::read16(reinterpret_cast<const unsigned char *>(reply.data())), sp::WVT_GET_PASSWORDS);
    const std::string passwords = pattern(3000, 11);
    sendLength(*session, static_cast<uint32_t>(passwords.size()));
    ASSERT_EQ(session->write(passwords.data(), static_cast<uint32_t>(passwords.size())), 3000);
    ASSERT_TRUE(eventually([&] { return !printer.files().empty(); }));
    EXPECT_EQ(printer.files().front().first, "admins.dat");
    EXPECT_TRUE(printer.files().front().second == passwords);
    EXPECT_TRUE(log.waitFor("Printer '" + LongName.substr(0, 32) + "' password file updated"));

    // The same version again: a plain reply. A newer one answered with a
    // length of 0 ends the exchange; the next message is read afresh.
    send(*session, message(sp::WVT_SERVER_KEEPALIVE, 0));
    reply = readExactly(*session, sp::RequestSize);
    EXPECT_EQ(LittleEndian::read16(reinterpret_cast<const unsigned char *>(reply.data())), sp::WVT_KEEPALIVE_REPLY);
    send(*session, message(sp::WVT_SERVER_KEEPALIVE, 1));
    reply = readExactly(*session, sp::RequestSize);
    EXPECT_EQ(LittleEndian::read16(reinterpret_cast<const unsigned char *>(reply.data())), sp::WVT_GET_PASSWORDS);
    sendLength(*session, 0);
    send(*session, message(sp::WVT_SERVER_KEEPALIVE, 1));
    reply = readExactly(*session, sp::RequestSize);
    EXPECT_EQ(LittleEndian::read16(reinterpret_cast<const unsigned char *>(reply.data())), sp::WVT_KEEPALIVE_REPLY);
    EXPECT_EQ(printer.files().size(), 1u);

    // A tunnel: a new connection to the server that starts with the request,
    // joined to the printer's port.
    const sp::GatewayRequest tunnelRequest = message(sp::WVT_OPEN_TUNNEL, webPort.port());
    send(*session, tunnelRequest);
    const std::shared_ptr<Socket> serverEnd = acceptOpening(server, bytesOf(tunnelRequest));
    ASSERT_TRUE(serverEnd) << "no connection opened with the tunnel request";
    const std::shared_ptr<Socket> printerEnd = webPort.accept();
    ASSERT_TRUE(printerEnd);
    expectBothWays(*serverEnd, *printerEnd, 200000, 3);

    // A hostile length ends this session, and only it: the bridge asks for
    // the next one within a poll.
    send(*session, message(sp::WVT_SERVER_KEEPALIVE, 9));
    reply = readExactly(*session, sp::RequestSize);
    EXPECT_EQ(LittleEndian::read16(reinterpret_cast<const unsigned char *>(reply.data())), sp::WVT_GET_PASSWORDS);
    sendLength(*session, 0xFFFFFFF0u);
    bool ended = false;
    readToEnd(*session, ended);
    EXPECT_TRUE(ended) << "the session was not ended";
    EXPECT_TRUE(log.contains("get passwords reply refused"));
    EXPECT_TRUE(service.isRunning());
    session = acceptSession(server, registration, 20000);
    EXPECT_TRUE(session) << "no new session after the refused one";
    // The tunnel of the first session still relays.
    expectBothWays(*serverEnd, *printerEnd, 1000, 4);
    service.stop();
}

TEST(ServerSession, NoRouteToTheServerIsReportedAndRetried)
{
    FakePrinter printer(RefusedPrinter, "Unreached");
    ASSERT_TRUE(printer.listening()) << "127.0.6.2:9101 or 9102 is taken";
    LogCapture log;
    TestService service({"--static-printers", "127.0.6.2", "--gateway", "false"});  // server port 1: refused
    ASSERT_TRUE(service.start());
    EXPECT_TRUE(log.waitFor("Failed to open gateway connection", 10000));
    EXPECT_FALSE(service.isServerConnected());
    EXPECT_EQ(countLogged(log, Warning, "Failed to open gateway connection"), 1);
}

TEST(ServerSession, ASlavesPrinterRegistersThroughTheGatewayBridgeAndNamesIt)
{
    FakePrinter printer(SlavePrinter, "Slave printer");
    ASSERT_TRUE(printer.listening()) << "127.0.6.3:9101 or 9102 is taken";
    Listener server;
    LogCapture log;
    const std::string serverPort = std::to_string(server.port());
    TestService gateway({"--server-port", serverPort.c_str()});
    ASSERT_TRUE(gateway.start());
    ASSERT_TRUE(log.waitFor("Gateway started on port"));
    const uint16_t gatewayPort = gateway.getGatewayPort().value_or(0);
    ASSERT_NE(gatewayPort, 0);

    TestService slave({"--slave", "true", "--static-printers", "127.0.6.3", "--gateway", "false"});
    ASSERT_TRUE(slave.addGateway({"gateway-guid", Loopback, gatewayPort}));
    ASSERT_TRUE(slave.start());

    std::string registration;
    const std::shared_ptr<Socket> session = acceptSession(server, registration);
    ASSERT_TRUE(session) << "no session arrived through the gateway";
    EXPECT_EQ(field(registration, 2, 32), padded("Slave printer", 32));
    send(*session, message(sp::WVT_SERVER_KEEPALIVE, static_cast<uint64_t>(-1)));
    const std::string reply = readExactly(*session, sp::RequestSize);
    ASSERT_EQ(reply.size(), sp::RequestSize);
    EXPECT_EQ(field(reply, 2, 6), std::string("Ready\0", 6));

    std::vector<PrinterDetails> printers;
    slave.getPrinters(printers);
    ASSERT_EQ(printers.size(), 1u);
    EXPECT_EQ(printers[0].gatewayAddress, Loopback);
    EXPECT_EQ(printers[0].gatewayPort, gatewayPort);
    const std::string gatewayLine = "\nGateway: 127.0.0.1:" + std::to_string(gatewayPort);
    EXPECT_NE(printers[0].text().find(gatewayLine), std::string::npos) << printers[0].text();
    slave.stop();
    gateway.stop();
}

// The server may ask for any number of tunnels; a printer relays at most
// MaxTunnels at once and refuses the requests beyond, with one warning per burst.
TEST(ServerSession, TunnelsBeyondThePrintersLimitAreRefusedWithOneWarningPerBurst)
{
    FakePrinter printer(TunnelsPrinter, "Tunnels");
    ASSERT_TRUE(printer.listening()) << "127.0.6.4:9101 or 9102 is taken";
    FixedListener webPort(TunnelsPrinter, 0);
    ASSERT_TRUE(webPort.listening());
    Listener server(64);
    LogCapture log;
    const std::string serverPort = std::to_string(server.port());
    TestService service({"--server-port", serverPort.c_str(), "--static-printers", "127.0.6.4", "--gateway", "false"});
    ASSERT_TRUE(service.start());
    std::string registration;
    const std::shared_ptr<Socket> session = acceptSession(server, registration);
    ASSERT_TRUE(session) << "no session registered";
    const auto registered = service.getRegisteredPrinters();
    ASSERT_EQ(registered.size(), 1u);
    const std::string warning = formatString("Printer 'Tunnels' reached its limit of %u tunnels, further tunnel "
                                             "requests are refused",
                                             static_cast<unsigned>(RemotePrinter::MaxTunnels));

    // Requests told apart by a byte of their payload, which the tunnel's
    // server connection sends first.
    int requests = 0;
    auto tunnelRequest = [&] {
        sp::GatewayRequest request = message(sp::WVT_OPEN_TUNNEL, webPort.port());
        request[20] = static_cast<unsigned char>(++requests);
        return request;
    };
    struct Ends {
        std::shared_ptr<Socket> server, printer;
    };
    auto open = [&](Ends &ends, int limitMs = 10000) {
        const sp::GatewayRequest request = tunnelRequest();
        send(*session, request);
        ends.server = acceptOpening(server, bytesOf(request), limitMs);
        ends.printer = ends.server ? webPort.accept() : nullptr;
        return ends.server && ends.printer;
    };
    // A keep-alive answered: every request sent before it has been handled,
    // and a tunnel it opened is already waiting on both listeners.
    auto settle = [&] {
        send(*session, message(sp::WVT_SERVER_KEEPALIVE, static_cast<uint64_t>(-1)));
        return readExactly(*session, sp::RequestSize).size() == sp::RequestSize;
    };
    // True when no refused request reached the printer or the server.
    auto nothingOpened = [&](const std::vector<std::string> &refused) {
        if (webPort.accept(0))
            return false;
        while (server.hasPending(0)) {
            const std::shared_ptr<Socket> connection = acceptFrom(server, 0);
            const std::string opening = connection ? readExactly(*connection, sp::RequestSize) : std::string();
            if (std::find(refused.begin(), refused.end(), opening) != refused.end())
                return false;
        }
        return true;
    };

    std::vector<Ends> tunnels(RemotePrinter::MaxTunnels);
    for (size_t i = 0; i < tunnels.size(); ++i)
        ASSERT_TRUE(open(tunnels[i])) << "tunnel " << i << " within the limit was not opened";
    EXPECT_EQ(log.count(warning), 0);

    // A burst of two beyond the limit.
    std::vector<std::string> refused;
    for (int i = 0; i < 2; ++i) {
        const sp::GatewayRequest request = tunnelRequest();
        refused.push_back(bytesOf(request));
        send(*session, request);
    }
    ASSERT_TRUE(settle());
    EXPECT_TRUE(nothingOpened(refused)) << "a tunnel beyond the limit was opened";
    EXPECT_EQ(log.count(warning), 1) << "one warning for the burst";
    EXPECT_EQ(countLogged(log, Warning, warning), 1);
    expectBothWays(*tunnels.back().server, *tunnels.back().printer, 1000, 5);

    // One tunnel ends; once its relay has ended a request is served again.
    // Until then a request is refused without a new warning, the limit
    // having been warned of already.
    tunnels.front().server.reset();
    EXPECT_TRUE(seesEndOfStream(*tunnels.front().printer));
    tunnels.front().printer.reset();
    ASSERT_TRUE(eventually([&] { return open(tunnels.front(), 1000); }, 20000))
        << "the place of an ended tunnel was not given back";
    EXPECT_EQ(log.count(warning), 1);

    // At the limit again: a new burst, a new warning.
    const sp::GatewayRequest request = tunnelRequest();
    send(*session, request);
    ASSERT_TRUE(settle());
    EXPECT_TRUE(nothingOpened({bytesOf(request)}));
    EXPECT_EQ(log.count(warning), 2);
    service.stop();
}

namespace {

// A scripted session for the message loop alone: each read takes the next
// step (bytes, a time-out or a failure); replies, tunnels and password files
// are recorded.
class ScriptedSession : public SessionLoop::Host {
public:
    struct Step {
        int result;  // > 0: the bytes; 0: time-out; < 0: failure
        std::string bytes;
    };
    static Step bytes(const std::string &data) { return {1, data}; }
    static Step timeout() { return {0, ""}; }

    std::vector<Step> steps;
    size_t next = 0;
    std::vector<sp::GatewayRequest> replies;
    std::vector<uint16_t> tunnelPorts;
    std::vector<std::string> passwordFiles;
    int answered = 0;
    PrinterInfo info;

    bool mayGoOn() override { return true; }
    void beforeRead() override {}
    int read(unsigned char *buffer, uint32_t size) override
    {
        if (next == steps.size())
            return -1;
        const Step step = steps[next++];
        if (step.result <= 0)
            return step.result;
        EXPECT_EQ(step.bytes.size(), size) << "a read takes one whole step";
        std::memcpy(buffer, step.bytes.data(), std::min<size_t>(size, step.bytes.size()));
        return static_cast<int>(size);
    }
    bool write(const unsigned char *bytes, uint32_t size) override
    {
        EXPECT_EQ(size, sp::RequestSize);
        sp::GatewayRequest reply{};
        std::memcpy(reply.data(), bytes, std::min<size_t>(size, reply.size()));
        replies.push_back(reply);
        return true;
    }
    std::string errorText() override { return "closed"; }
    void serverAnswered() override { ++answered; }
    void openTunnel(const sp::GatewayRequest &request) override { tunnelPorts.push_back(sp::tunnelPort(request)); }
    void makeKeepAliveReply(sp::GatewayRequest &request, int16_t type) override
    {
        sp::makeKeepAliveReply(request, type, info);
    }
    bool deliverPasswordFile(const unsigned char *bytes, unsigned length) override
    {
        passwordFiles.emplace_back(reinterpret_cast<const char *>(bytes), length);
        return true;
    }
};

std::string lengthField(uint32_t length)
{
    unsigned char field[4];
    LittleEndian::write32(field, length);
    return std::string(reinterpret_cast<const char *>(field), 4);
}

} // namespace

TEST(SessionLoop, OneSilentPeriodIsToleratedAndEachMessageRearmsTheTolerance)
{
    LogCapture log;
    ScriptedSession session;
    using S = ScriptedSession;
    session.steps = {S::timeout(), S::bytes(bytesOf(message(sp::WVT_SERVER_KEEPALIVE, uint64_t(-1)))), S::timeout(),
                     S::bytes(bytesOf(message(99, 0))), S::timeout(), S::timeout(),
                     S::bytes(bytesOf(message(sp::WVT_SERVER_KEEPALIVE, uint64_t(-1))))};
    SessionLoop(session, "P1").run();
    EXPECT_EQ(session.next, 6u) << "two silent periods in a row end the session";
    EXPECT_EQ(log.count("Printer 'P1' gateway timeout"), 3);
    EXPECT_EQ(log.count("Printer 'P1' connection lost from gateway: closed"), 1);
    EXPECT_EQ(session.answered, 1) << "the service is told once per session";
    ASSERT_EQ(session.replies.size(), 1u);
    EXPECT_EQ(sp::messageType(session.replies[0]), sp::WVT_KEEPALIVE_REPLY);
}

TEST(SessionLoop, PasswordFilesOnlyForNewerVersionsAndARefusedLengthEndsTheSession)
{
    LogCapture log;
    ScriptedSession session;
    using S = ScriptedSession;
    session.steps = {S::bytes(bytesOf(message(sp::WVT_SERVER_KEEPALIVE, 5))),
                     S::bytes(lengthField(3)),
                     S::bytes("abc"),
                     S::bytes(bytesOf(message(sp::WVT_SERVER_KEEPALIVE, 5))),
                     S::bytes(bytesOf(message(sp::WVT_OPEN_TUNNEL, 80))),
                     S::bytes(bytesOf(message(sp::WVT_SERVER_KEEPALIVE, 6))),
                     S::bytes(lengthField(0)),
                     S::bytes(bytesOf(message(sp::WVT_SERVER_KEEPALIVE, 7))),
                     S::bytes(lengthField(sp::MaxPasswordFileSize + 1)),
                     S::bytes(bytesOf(message(sp::WVT_SERVER_KEEPALIVE, 8)))};
    SessionLoop(session, "P2").run();
    std::vector<int16_t> types;
    for (const auto &reply : session.replies)
        types.push_back(sp::messageType(reply));
    EXPECT_EQ(types, (std::vector<int16_t>{sp::WVT_GET_PASSWORDS, sp::WVT_KEEPALIVE_REPLY, sp::WVT_GET_PASSWORDS,
                                           sp::WVT_GET_PASSWORDS}));
    EXPECT_EQ(session.passwordFiles, std::vector<std::string>{"abc"});
    EXPECT_EQ(session.tunnelPorts, std::vector<uint16_t>{80});
    EXPECT_EQ(session.next, 9u) << "nothing is read after a refused length";
    EXPECT_TRUE(log.contains("Printer 'P2' password file updated"));
    EXPECT_TRUE(log.contains("Printer 'P2' get passwords reply refused: length 8388609 above 8388608 bytes"));
}
