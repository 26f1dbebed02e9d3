// The "Show status..." text: its lines for known inputs, and the snapshot a
// real service gives.

#include "statustext.h"
#include "stringutils.h"
#include "testservice.h"
#include "textlines.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint32_t address(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    return (a << 24) | (b << 16) | (c << 8) | d;
}

const char *const Guid = "0f8fad5b-d9cb-469f-a165-70867728950e";

TEST(StatusText, LinesForKnownInputs)
{
    StatusText minimal;
    minimal.instanceGuid = Guid;
    EXPECT_EQ(lines(minimal.text()), (std::vector<std::string>{
                                         "Orvel-Server connected: no",
                                         std::string("Instance GUID: ") + Guid,
                                         "Discovered printer(s): 0",
                                         "Broadcast responder: no",
                                     }));

    // One gateway, one slave (no blank before "(GUID="), a named tunnel
    // printer and a gateway port.
    StatusText one;
    one.serverConnected = true;
    one.instanceGuid = Guid;
    one.printerCount = 3;
    one.tunnelOpen = true;
    one.tunnelPrinterName = "Front desk";
    one.tunnelPort = 8080;
    one.responderRunning = true;
    one.gatewayPort = 40123;
    one.gateways.push_back({"gw-guid-1", address(192, 168, 1, 20), 5000});
    one.slaves.push_back({"slave-guid-1", address(10, 0, 0, 7)});
    EXPECT_EQ(lines(one.text()), (std::vector<std::string>{
                                     "Orvel-Server connected: yes",
                                     std::string("Instance GUID: ") + Guid,
                                     "Discovered printer(s): 3",
                                     "Printer tunnel port (Front desk): 8080",
                                     "Broadcast responder: yes",
                                     "Gateway port: 40123",
                                     "Discovered gateway: 192.168.1.20:5000 (GUID=gw-guid-1)",
                                     "Discovered slave: 10.0.0.7(GUID=slave-guid-1)",
                                 }));

    // An encrypted link shows the certificate of the latest handshake.
    StatusText secure = minimal;
    secure.serverTls = true;
    EXPECT_EQ(lines(secure.text())[1], "Server link encrypted (TLS): no handshake yet");
    secure.serverCertificateSubject = "CN=wvt.example.test,O=Orvel";
    secure.serverCertificateExpiry = 1796716800;
    EXPECT_EQ(lines(secure.text()), (std::vector<std::string>{
                                        "Orvel-Server connected: no",
                                        "Server link encrypted (TLS): CN=wvt.example.test,O=Orvel, expires "
                                        "2026-Dec-08 08:00:00 UTC",
                                        std::string("Instance GUID: ") + Guid,
                                        "Discovered printer(s): 0",
                                        "Broadcast responder: no",
                                    }));

    // Several gateways and slaves, numbered from 1; a tunnel whose printer
    // has no name yet; the gateway port 0 is still shown.
    StatusText several;
    several.instanceGuid = Guid;
    several.printerCount = 1;
    several.tunnelOpen = true;
    several.tunnelPort = 80;
    several.gatewayPort = 0;
    several.gateways.push_back({"gw-a", address(192, 168, 1, 20), 5000});
    several.gateways.push_back({"gw-b", address(192, 168, 1, 21), 5001});
    several.gateways.push_back({"gw-c", address(172, 16, 0, 1), 65535});
    several.slaves.push_back({"slave-a", address(10, 0, 0, 7)});
    several.slaves.push_back({"slave-b", address(10, 0, 0, 8)});
    EXPECT_EQ(lines(several.text()), (std::vector<std::string>{
                                         "Orvel-Server connected: no",
                                         std::string("Instance GUID: ") + Guid,
                                         "Discovered printer(s): 1",
                                         "Printer tunnel port: 80",
                                         "Broadcast responder: no",
                                         "Gateway port: 0",
                                         "Discovered gateways: ",
                                         "1) 192.168.1.20:5000 (GUID=gw-a)",
                                         "2) 192.168.1.21:5001 (GUID=gw-b)",
                                         "3) 172.16.0.1:65535 (GUID=gw-c)",
                                         "Discovered slaves: ",
                                         "1) 10.0.0.7(GUID=slave-a)",
                                         "2) 10.0.0.8(GUID=slave-b)",
                                     }));
    // The lines are joined without a trailing line end.
    EXPECT_NE(several.text().back(), '\n');
}

TEST(StatusText, SnapshotOfARealService)
{
    TestService service({"--printer-tunnel", "false"});
    StatusText empty = StatusText::from(service);
    EXPECT_FALSE(empty.serverConnected);
    EXPECT_EQ(empty.instanceGuid, service.getInstanceGuid());
    EXPECT_EQ(empty.instanceGuid.size(), 36u);
    EXPECT_EQ(empty.printerCount, 0u);
    EXPECT_FALSE(empty.tunnelOpen);
    EXPECT_FALSE(empty.responderRunning);
    EXPECT_FALSE(empty.gatewayPort.has_value());
    EXPECT_TRUE(empty.gateways.empty());
    EXPECT_TRUE(empty.slaves.empty());

    // Gateways keep the order in which they were reported.
    ASSERT_TRUE(service.addGateway({"gw-a", address(192, 168, 1, 20), 5000}));
    ASSERT_TRUE(service.addGateway({"gw-b", address(192, 168, 1, 21), 5001}));
    // Slaves are kept only while the server is reachable.
    service.applyModes(true, false, false, false);
    service.addSlave("slave-a", address(10, 0, 0, 7));
    service.setServerConnected(true);

    const std::vector<std::string> text = lines(StatusText::from(service).text());
    EXPECT_EQ(text, (std::vector<std::string>{
                        "Orvel-Server connected: yes",
                        "Instance GUID: " + service.getInstanceGuid(),
                        "Discovered printer(s): 0",
                        "Broadcast responder: no",
                        "Discovered gateways: ",
                        "1) 192.168.1.20:5000 (GUID=gw-a)",
                        "2) 192.168.1.21:5001 (GUID=gw-b)",
                        "Discovered slave: 10.0.0.7(GUID=slave-a)",
                    }));

    service.addSlave("slave-b", address(10, 0, 0, 8));
    const StatusText two = StatusText::from(service);
    ASSERT_EQ(two.slaves.size(), 2u);
    const std::vector<std::string> twoLines = lines(two.text());
    ASSERT_EQ(twoLines.size(), 10u);
    EXPECT_EQ(twoLines[7], "Discovered slaves: ");
    // Numbered in the service's own order, whichever that is.
    for (size_t i = 0; i < 2; ++i)
        EXPECT_EQ(twoLines[8 + i], std::to_string(i + 1) + ") " + addressToString(two.slaves[i].address) +
                                       "(GUID=" + two.slaves[i].guid + ")");
}

} // namespace
