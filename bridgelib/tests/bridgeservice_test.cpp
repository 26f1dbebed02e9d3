#include "exception.h"
#include "filesystem.h"
#include "logcapture.h"
#include "remoteprinter.h"
#include "stringutils.h"
#include "sockettesttools.h"
#include "testservice.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace std::chrono;
using sockettest::eventually;

namespace {

// Loopback addresses where nothing listens: the printer links fail at once.
constexpr uint32_t PrinterA = 0x7F00020Au;  // 127.0.2.10
constexpr uint32_t PrinterB = 0x7F00020Bu;  // 127.0.2.11

std::vector<uint32_t> addresses(const BridgeService &service)
{
    std::vector<uint32_t> result;
    for (const auto &printer : service.getRegisteredPrinters())
        result.push_back(printer->address());
    return result;
}

// A service whose discovery step can be held, as a step that hangs would be.
class HeldStepService : public TestService {
public:
    ~HeldStepService() override { release(); }

    void runDiscovery() override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ++entered_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_; });
    }
    void hold()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = true;
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }
    // Waits until the loop has entered the step `count` times.
    bool waitEntered(int count)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, seconds(30), [&] { return entered_ >= count; });
    }
    int entered()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return entered_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;  // guarded by mutex_
    int entered_ = 0;    // guarded by mutex_
};

} // namespace

TEST(BridgeService, InstanceGuidIsARandomVersion4Uuid)
{
    BridgeService first;
    BridgeService second;
    const std::string guid = first.getInstanceGuid();
    ASSERT_EQ(guid.size(), 36u);
    EXPECT_EQ(guid[8], '-');
    EXPECT_EQ(guid[14], '4');
    EXPECT_EQ(guid.find_first_not_of("0123456789abcdef-"), std::string::npos);
    EXPECT_NE(guid, second.getInstanceGuid());
}

TEST(BridgeService, StartMakesTheBackupFolderAndStopReturnsPromptly)
{
    LogCapture capture;
    TestService service;
    ASSERT_TRUE(service.start());
    EXPECT_EQ(service.getBackupDirectory(), FileSystem::combine(service.documents(), "Orvel-Bridge"));
    EXPECT_TRUE(FileSystem::directoryExists(service.getBackupDirectory()));
    EXPECT_EQ(boost::filesystem::current_path().string(), service.getBackupDirectory());
    EXPECT_TRUE(service.isRunning());
    EXPECT_FALSE(service.start()) << "a second start is refused";
    EXPECT_TRUE(capture.contains("Bridge service start failed"));

    ASSERT_TRUE(capture.waitFor("Bridge service run begin"));
    std::this_thread::sleep_for(milliseconds(100));  // the loop now sleeps its 60 s
    const auto begin = steady_clock::now();
    service.stop();
    EXPECT_LT(steady_clock::now() - begin, milliseconds(2000));
    EXPECT_FALSE(service.isRunning());
    EXPECT_TRUE(capture.contains("Bridge service stopping..."));
    EXPECT_TRUE(capture.contains("Bridge service run end"));
    EXPECT_TRUE(capture.contains("Bridge service stopped"));
    EXPECT_EQ(service.createSocket("late"), nullptr) << "no socket once stopped";
}

TEST(BridgeService, CanBeStartedAgainAfterAStop)
{
    LogCapture capture;
    TestService service({"--static-printers", "127.0.2.10"});
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(capture.waitFor("Static printer '127.0.2.10' added"));
    service.stop();
    EXPECT_TRUE(service.getRegisteredPrinters().empty()) << "a stop drops every printer";
    capture.clear();
    ASSERT_TRUE(service.start());
    EXPECT_TRUE(capture.waitFor("Static printer '127.0.2.10' added")) << "the static printers come back";
    EXPECT_NE(service.createSocket("again"), nullptr);
}

TEST(BridgeService, SocketFactoryRefusesUnlessRunningAndStopClosesEverySocket)
{
    TestService service;
    EXPECT_EQ(service.createSocket("before"), nullptr);
    ASSERT_TRUE(service.start());
    auto socket = service.createSocket("Probe");
    ASSERT_NE(socket, nullptr);
    ASSERT_TRUE(socket->openDatagram());
    std::atomic<int> result{1};
    std::thread blocked([&] { result = socket->waitReadable(60000); });
    std::this_thread::sleep_for(milliseconds(50));
    service.stop();
    blocked.join();
    EXPECT_EQ(socket->handle(), -1);
    EXPECT_NE(result, 0) << "the wait was ended by the stop, not by its time";
}

TEST(BridgeService, GatewayOptionRefusesEveryPrinter)
{
    LogCapture capture;
    TestService service({"--gateway", "true", "--static-printers", "127.0.2.10"});
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(capture.waitFor("Bridge service run begin"));
    service.addPrinter(PrinterB, false, true);
    EXPECT_TRUE(service.getRegisteredPrinters().empty());
    EXPECT_FALSE(capture.contains("added"));
}

TEST(BridgeService, DuplicateStaticAddressAddsOnePrinter)
{
    LogCapture capture;
    TestService service({"--static-printers", "127.0.2.10;127.0.2.10;127.0.2.11"});
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(capture.waitFor("Static printer '127.0.2.11' added"));
    EXPECT_EQ(capture.count("Static printer '127.0.2.10' added"), 1);
    std::vector<uint32_t> registered = addresses(service);
    std::sort(registered.begin(), registered.end());
    EXPECT_EQ(registered, (std::vector<uint32_t>{PrinterA, PrinterB}));
}

TEST(BridgeService, DiscoveredPrinterAlreadyStaticKeepsItsStaticFlag)
{
    LogCapture capture;
    TestService service({"--static-printers", "127.0.2.10"});
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(capture.waitFor("Static printer '127.0.2.10' added"));
    service.addPrinter(PrinterA, false, true);
    const auto printers = service.getRegisteredPrinters();
    ASSERT_EQ(printers.size(), 1u);
    EXPECT_TRUE(printers[0]->isStaticPrinter());
    EXPECT_TRUE(printers[0]->isDiscovered());
    EXPECT_EQ(capture.count("added"), 1) << "no second printer, no second line";
}

TEST(BridgeService, UnreachableDiscoveredPrinterIsRemovedAndNotifies)
{
    LogCapture capture;
    std::atomic<int> notifications{0};  // outlives the service, whose stop notifies too
    TestService service;
    service.statusChanged.connect([&] { ++notifications; });
    ASSERT_TRUE(service.start());
    // The first cycle finds the server unreachable: one notification, then
    // the loop sleeps for a minute.
    ASSERT_TRUE(eventually([&] { return notifications == 1; }));
    service.addPrinter(PrinterB, false, true);
    EXPECT_TRUE(capture.waitFor("Printer '127.0.2.11' added"));
    EXPECT_TRUE(capture.waitFor("Printer '127.0.2.11' removed"));
    EXPECT_TRUE(eventually([&] { return notifications >= 3; }));
    EXPECT_TRUE(service.getRegisteredPrinters().empty());
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(notifications, 3) << "one for the addition, one for the removal";
}

TEST(BridgeService, ReportsProgressThroughoutThePauseAndNoneWhileAStepHangs)
{
    HeldStepService service;
    std::atomic<int> reports{0};
    service.progressed.connect([&] { ++reports; });
    service.setProgressInterval(20);
    service.hold();
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(service.waitEntered(1));
    EXPECT_EQ(reports, 1) << "the server step reported before the sweep began";

    std::this_thread::sleep_for(milliseconds(300));  // fifteen progress intervals
    EXPECT_EQ(reports, 1) << "a step that hangs reports nothing";

    service.release();
    EXPECT_TRUE(eventually([&] { return reports >= 12; }, 30000)) << "the pause reports every interval";
    EXPECT_EQ(service.entered(), 1) << "all of them within the first cycle's 60-s pause";
}

TEST(BridgeService, SlavesAreKeptOnlyWhileTheServerIsReachableAndExpireAfter180Seconds)
{
    // The slaves' clock is the monotonic one; this one moves only when told.
    steady_clock::time_point now = steady_clock::time_point() + hours(1000);
    std::mutex clockMutex;
    BridgeService service;
    service.setClock([&] {
        std::lock_guard<std::mutex> lock(clockMutex);
        return now;
    });
    auto advance = [&](long seconds) {
        std::lock_guard<std::mutex> lock(clockMutex);
        now += std::chrono::seconds(seconds);
    };
    auto slaves = [&] {
        std::deque<SlaveInfo> list;
        service.getSlaves(list);
        return list;
    };

    service.addSlave("slave-one", 0x0A000005u);
    EXPECT_TRUE(slaves().empty()) << "ignored while the server's reachability is unknown";
    EXPECT_THROW(service.addSlave("", 1), Exception);

    service.applyModes(true, true, false, false);
    service.addSlave(service.getInstanceGuid(), 0x0A000006u);
    EXPECT_TRUE(slaves().empty()) << "a bridge never registers itself";

    service.addSlave("slave-one", 0x0A000005u);
    service.addSlave("slave-two", 0x0A000007u);
    ASSERT_EQ(slaves().size(), 2u);

    advance(120);
    service.addSlave("slave-one", 0x0A000099u);  // reported again: its time-out restarts
    advance(61);
    service.cleanup();
    auto left = slaves();
    ASSERT_EQ(left.size(), 1u) << "slave-two was last seen 181 s ago";
    EXPECT_EQ(left[0].guid, "slave-one");
    EXPECT_EQ(left[0].address, 0x0A000005u) << "a repeated report does not move a slave";

    advance(119);
    service.cleanup();
    EXPECT_EQ(slaves().size(), 1u) << "exactly 180 s is not yet expired";
    advance(1);
    service.cleanup();
    EXPECT_TRUE(slaves().empty());

    service.addSlave("slave-three", 0x0A000008u);
    ASSERT_EQ(slaves().size(), 1u);
    advance(-3600);
    service.cleanup();
    ASSERT_EQ(slaves().size(), 1u) << "a clock that goes back expires nobody";
    advance(180);
    service.cleanup();
    ASSERT_EQ(slaves().size(), 1u) << "and restarts the period";
    service.applyModes(false, false, true, false);
    EXPECT_TRUE(slaves().empty()) << "a failed server test drops every slave";
    service.addSlave("slave-three", 0x0A000008u);
    EXPECT_TRUE(slaves().empty());
}

TEST(BridgeService, ServerConnectedFollowsTheModesAndSetServerConnected)
{
    BridgeService service;
    std::atomic<int> notifications{0};
    service.statusChanged.connect([&] { ++notifications; });
    EXPECT_FALSE(service.isServerConnected());
    service.applyModes(true, true, false, false);
    EXPECT_TRUE(service.isServerConnected());
    EXPECT_EQ(notifications, 1);
    service.applyModes(true, true, false, false);
    EXPECT_EQ(notifications, 1) << "nothing changed, nothing emitted";
    service.applyModes(false, false, true, false);
    EXPECT_FALSE(service.isServerConnected()) << "without printers the state is forgotten";
    service.setServerConnected(true);
    EXPECT_TRUE(service.isServerConnected());
    const int before = notifications;
    service.setServerConnected(true);
    EXPECT_EQ(notifications, before);
    service.applyModes(std::nullopt, false, false, true);
    EXPECT_FALSE(service.isServerConnected());
}

TEST(BridgeService, GatewaysAreOnePerAddressInArrivalOrderAndBounded)
{
    LogCapture capture;
    BridgeService service;
    EXPECT_TRUE(service.addGateway({"gateway-one", 0x0A000001u, 8000}));
    EXPECT_FALSE(service.addGateway({"gateway-other", 0x0A000001u, 8000})) << "same address and port";
    EXPECT_TRUE(service.addGateway({"gateway-two", 0x0A000002u, 8000}));
    EXPECT_TRUE(service.addGateway({"gateway-one", 0x0A000001u, 8001})) << "a newer announcement moves the port";
    EXPECT_FALSE(service.addGateway({service.getInstanceGuid(), 0x0A000003u, 1}));
    EXPECT_THROW(service.addGateway({"", 0x0A000004u, 1}), Exception);
    EXPECT_TRUE(capture.contains("Gateway '10.0.0.1:8000' added"));
    EXPECT_TRUE(capture.contains("Gateway '10.0.0.1:8001' added"));

    std::deque<gateway_info_t> gateways;
    service.getGateways(gateways);
    ASSERT_EQ(gateways.size(), 2u);
    EXPECT_EQ(gateways[0].guid, "gateway-one");
    EXPECT_EQ(gateways[0].port, 8001);
    EXPECT_EQ(gateways[1].guid, "gateway-two");

    EXPECT_TRUE(service.removeGateway(0x0A000001u, 8001));
    EXPECT_FALSE(service.removeGateway(0x0A000001u, 8001));
    EXPECT_TRUE(capture.contains("Gateway '10.0.0.1:8001' removed"));
    gateways.clear();
    service.getGateways(gateways);
    EXPECT_EQ(gateways.size(), 1u);

    // A flood of announcements from other addresses fills the table to its
    // bound and no further: the oldest unproven entries make room.
    for (uint32_t host = 100; host < 140; ++host)
        service.addGateway({"flood", 0x0A000000u + host, 9000});
    gateways.clear();
    service.getGateways(gateways);
    ASSERT_EQ(gateways.size(), GatewayTable::Capacity);
    EXPECT_EQ(gateways.back().address, 0x0A000000u + 139) << "the newest announcement is kept";
}

TEST(BridgeService, BroadcastInterfacesAreNeverEmpty)
{
    BridgeService service;
    const auto interfaces = service.getBroadcastInterfaces();
    ASSERT_FALSE(interfaces.empty());
    for (const auto &interface : interfaces)
        EXPECT_EQ(interface.broadcast, 0xFFFFFFFFu);
}
