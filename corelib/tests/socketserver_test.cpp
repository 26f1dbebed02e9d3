#include "isocketserver.h"
#include "sockettestsystem.h"
#include "logcapture.h"
#include "socketsmanager.h"
#include "sockettesttools.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

using namespace sockettest;

namespace {

// What the copies of a test server saw; shared by the server and its copies.
struct ServerRecord {
    std::mutex mutex;                   // guards the two containers
    std::vector<std::string> received;  // every chunk read, in order
    std::set<std::thread::id> threads;  // the threads onRun ran on

    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    std::atomic<int> active{0};
    std::atomic<int> maxActive{0};
    std::atomic<int> threadRequests{0};

    int failThreadFor = -1;  // the startThread call (counted from 0) that throws
    int throwInRunFor = -1;  // the onRun (counted from 0) that throws

    bool saw(const std::string &text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto &chunk : received) {
            if (chunk == text)
                return true;
        }
        return false;
    }
    size_t threadCount()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return threads.size();
    }
};

// Counts one running onRun for as long as it lives.
class RunScope {
public:
    explicit RunScope(ServerRecord &record) : record_(record)
    {
        const int now = ++record_.active;
        int seen = record_.maxActive;
        while (now > seen && !record_.maxActive.compare_exchange_weak(seen, now)) {
        }
        std::lock_guard<std::mutex> lock(record_.mutex);
        record_.threads.insert(std::this_thread::get_id());
    }
    ~RunScope()
    {
        --record_.active;
        ++record_.finished;
    }

private:
    ServerRecord &record_;
};

// Echoes every chunk back and records it; ends when the client closes or
// after echoing "quit" (then the server side closes first).
class EchoServer : public ISocketServer {
public:
    explicit EchoServer(std::shared_ptr<ServerRecord> record) : ISocketServer("Echo"), record_(std::move(record)) {}
    EchoServer(const EchoServer &other) : ISocketServer(other), record_(other.record_) {}

    std::shared_ptr<IClonable> clone() const override { return std::make_shared<EchoServer>(*this); }

    void onRun() override
    {
        const std::shared_ptr<ServerRecord> record = record_;
        RunScope scope(*record);
        if (record->started++ == record->throwInRunFor)
            throw std::runtime_error("echo failure");
        Socket connection("EchoServer - client", takeHandle());
        char buffer[256];
        int n;
        while ((n = connection.read(buffer, sizeof buffer, false)) > 0) {
            const std::string text(buffer, static_cast<size_t>(n));
            {
                std::lock_guard<std::mutex> lock(record->mutex);
                record->received.push_back(text);
            }
            if (connection.write(buffer, static_cast<uint32_t>(n)) < 0 || text == "quit")
                break;
        }
    }

protected:
    void startThread(std::function<void()> body) override
    {
        if (record_->threadRequests++ == record_->failThreadFor)
            throw std::system_error(EAGAIN, std::generic_category(), "no thread for this connection");
        ISocketServer::startThread(std::move(body));
    }

private:
    std::shared_ptr<ServerRecord> record_;
};

// What the datagram service's copy saw.
struct DatagramRecord {
    std::atomic<int> runs{0};
    std::atomic<bool> finished{false};
    std::atomic<long long> handleInRun{-2};
    std::atomic<const void *> objectInRun{nullptr};
    std::atomic<int> lastResult{-2};
    std::mutex mutex;  // guards datagrams
    std::vector<std::string> datagrams;

    bool saw(const std::string &text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto &datagram : datagrams) {
            if (datagram == text)
                return true;
        }
        return false;
    }
};

// Receives datagrams on the shared handle until a receive fails.
class DatagramServer : public ISocketServer {
public:
    explicit DatagramServer(std::shared_ptr<DatagramRecord> record)
        : ISocketServer("Datagrams"), record_(std::move(record))
    {
    }
    DatagramServer(const DatagramServer &other) : ISocketServer(other), record_(other.record_) {}

    std::shared_ptr<IClonable> clone() const override { return std::make_shared<DatagramServer>(*this); }

    void onRun() override
    {
        const std::shared_ptr<DatagramRecord> record = record_;
        record->handleInRun = handle();
        record->objectInRun = this;
        ++record->runs;  // last: a test that sees the count sees the two above
        char buffer[512];
        for (;;) {
            uint32_t address = 0;
            uint16_t port = 0;
            const int n = receiveFrom(buffer, sizeof buffer, address, port);
            record->lastResult = n;
            if (n < 0)
                break;
            std::lock_guard<std::mutex> lock(record->mutex);
            record->datagrams.emplace_back(buffer, static_cast<size_t>(n));
        }
        record->finished = true;
    }

private:
    std::shared_ptr<DatagramRecord> record_;
};

// A client of a test server on 127.0.0.1 with a receive time-out, so that a
// server that does not answer fails the test instead of hanging it.
std::shared_ptr<Socket> connectClient(uint16_t port, const std::string &name = "Client")
{
    auto client = std::make_shared<Socket>(name);
    client->receiveTimeout = 5000;
    if (!client->connect(Loopback, port))
        return nullptr;
    return client;
}

// Sends `text` and returns what came back (empty on a failure or time-out).
std::string roundTrip(Socket &client, const std::string &text)
{
    if (client.write(text.data(), static_cast<uint32_t>(text.size())) != static_cast<int>(text.size()))
        return std::string();
    std::string answer(text.size(), '\0');
    if (client.read(&answer[0], static_cast<uint32_t>(answer.size()), true) != static_cast<int>(answer.size()))
        return std::string();
    return answer;
}

bool refusesConnections(uint16_t port)
{
    Socket probe;
    return !probe.connect(Loopback, port);
}

} // namespace

// --- ISocketServer over TCP -------------------------------------------------------

TEST(SocketServer, PortZeroListensOnAPortTheSystemChose)
{
    auto record = std::make_shared<ServerRecord>();
    EchoServer server(record);
    ASSERT_TRUE(server.createServer(0));
    const uint16_t port = server.getLocalPort();
    ASSERT_NE(port, 0);

    auto client = connectClient(port);
    ASSERT_TRUE(client);
    EXPECT_EQ(roundTrip(*client, "hello"), "hello");
    EXPECT_TRUE(record->saw("hello"));
    client.reset();
    EXPECT_TRUE(eventually([&] { return record->finished == 1; }));
}

TEST(SocketServer, PortHeldByAnotherListenerFailsToBind)
{
    auto record = std::make_shared<ServerRecord>();
    EchoServer holder(record);
    ASSERT_TRUE(holder.createServer(0));
    const uint16_t port = holder.getLocalPort();

    LogCapture capture;
    EchoServer second(record);
    EXPECT_FALSE(second.createServer(port)) << "a listening port must refuse a second bind despite SO_REUSEADDR";
    EXPECT_EQ(second.handle(), -1);
    EXPECT_EQ(second.getLocalPort(), 0);
    const auto messages = capture.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]->text, formatString("bind() failed on port %d", port));
    EXPECT_EQ(messages[0]->level, Debug);

    // The holder is not disturbed.
    auto client = connectClient(port);
    ASSERT_TRUE(client);
    EXPECT_EQ(roundTrip(*client, "still here"), "still here");
    client.reset();
    EXPECT_TRUE(eventually([&] { return record->finished == 1; }));
}

TEST(SocketServer, StoppedServerCanBeBoundAgainAtOnceAfterServing)
{
    auto record = std::make_shared<ServerRecord>();
    auto server = std::make_unique<EchoServer>(record);
    ASSERT_TRUE(server->createServer(0));
    const uint16_t port = server->getLocalPort();

    // The server side ends this connection first, so its end of it lingers
    // on the port after the connection is gone.
    auto client = connectClient(port);
    ASSERT_TRUE(client);
    EXPECT_EQ(roundTrip(*client, "quit"), "quit");
    EXPECT_TRUE(seesEndOfStream(*client));
    client.reset();
    ASSERT_TRUE(eventually([&] { return record->finished == 1; }));
    server.reset();

    EchoServer again(record);
    ASSERT_TRUE(again.createServer(port)) << "the port of a stopped server must be free again at once";
    EXPECT_EQ(again.getLocalPort(), port);
    client = connectClient(port);
    ASSERT_TRUE(client);
    EXPECT_EQ(roundTrip(*client, "again"), "again");
    client.reset();
    EXPECT_TRUE(eventually([&] { return record->finished == 2; }));
}

TEST(SocketServer, TwoClientsAreServedAtOnceByTwoCopiesOnTwoThreads)
{
    auto record = std::make_shared<ServerRecord>();
    EchoServer server(record);
    ASSERT_TRUE(server.createServer(0));
    const uint16_t port = server.getLocalPort();

    auto first = connectClient(port, "First");
    ASSERT_TRUE(first);
    EXPECT_EQ(roundTrip(*first, "one"), "one");
    // The first copy is still serving its open connection when the second
    // client talks; a server that served one connection at a time would not
    // answer it and the read would run into its time-out.
    auto second = connectClient(port, "Second");
    ASSERT_TRUE(second);
    EXPECT_EQ(roundTrip(*second, "two"), "two");
    EXPECT_EQ(roundTrip(*first, "one again"), "one again");
    EXPECT_EQ(roundTrip(*second, "two again"), "two again");

    EXPECT_EQ(record->active, 2);
    EXPECT_EQ(record->maxActive, 2);
    EXPECT_EQ(record->threadCount(), 2u) << "each copy runs on a thread of its own";

    first.reset();
    second.reset();
    EXPECT_TRUE(eventually([&] { return record->finished == 2; }));
    EXPECT_EQ(record->active, 0);
}

// The server's time-outs are meant for the connections it accepts. On the
// listening socket a receive time-out also bounds each accept on this
// platform; running out of it must not end the accepting thread.
TEST(SocketServer, ServerTimeoutsApplyToAcceptedConnectionsAndDoNotEndAccepting)
{
    LogCapture capture;
    auto record = std::make_shared<ServerRecord>();
    auto server = std::make_unique<EchoServer>(record);
    server->receiveTimeout = 300;
    ASSERT_TRUE(server->createServer(0));
    const uint16_t port = server->getLocalPort();
    std::this_thread::sleep_for(milliseconds(700));  // longer than the time-out, with nobody connecting

    auto client = connectClient(port);
    ASSERT_TRUE(client);
    EXPECT_EQ(roundTrip(*client, "late"), "late") << "the accepting thread must still serve";

    // The silent client is dropped once the copy's read runs out of time.
    const auto begin = Clock::now();
    EXPECT_TRUE(seesEndOfStream(*client, 5000)) << "the accepted connection has no receive time-out";
    EXPECT_GE(millisecondsSince(begin), 200);
    EXPECT_TRUE(eventually([&] { return record->finished == 1; }));
    EXPECT_EQ(capture.count("accept() failed"), 0);

    server.reset();
    EXPECT_EQ(capture.count("accept() failed"), 1) << "closing still ends the accepting thread";
}

TEST(SocketServer, DestroyingAListeningServerEndsItsAcceptingThreadOnce)
{
    LogCapture capture;
    auto record = std::make_shared<ServerRecord>();
    auto server = std::make_unique<EchoServer>(record);
    ASSERT_TRUE(server->createServer(0));
    const uint16_t port = server->getLocalPort();
    std::this_thread::sleep_for(milliseconds(100));  // the thread waits in accept
    EXPECT_EQ(capture.count("accept() failed"), 0);

    const auto begin = Clock::now();
    server.reset();
    EXPECT_LT(millisecondsSince(begin), 2000);
    EXPECT_EQ(capture.count("accept() failed"), 1) << "the accepting thread has ended when the server is gone";
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(capture.count("accept() failed"), 1);
    EXPECT_TRUE(refusesConnections(port));
    EXPECT_EQ(record->started, 0);
}

TEST(SocketServer, CloseFromAnotherThreadWakesTheBlockedAccept)
{
    LogCapture capture;
    auto record = std::make_shared<ServerRecord>();
    auto server = std::make_unique<EchoServer>(record);
    ASSERT_TRUE(server->createServer(0));
    const uint16_t port = server->getLocalPort();
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(capture.count("accept() failed"), 0) << "the accepting thread should still wait";

    const auto begin = Clock::now();
    server->close();
    ASSERT_TRUE(capture.waitFor("accept() failed", 5000));
    EXPECT_LT(millisecondsSince(begin), 2000);
    EXPECT_EQ(server->handle(), -1);
    EXPECT_TRUE(refusesConnections(port));

    server.reset();
    EXPECT_EQ(capture.count("accept() failed"), 1);
}

TEST(SocketServer, ConnectionWithoutAThreadIsDroppedAndTheNextIsServed)
{
    LogCapture capture;
    auto record = std::make_shared<ServerRecord>();
    record->failThreadFor = 0;
    EchoServer server(record);
    ASSERT_TRUE(server.createServer(0));
    const uint16_t port = server.getLocalPort();

    auto dropped = connectClient(port, "Dropped");
    ASSERT_TRUE(dropped);
    EXPECT_TRUE(seesEndOfStream(*dropped)) << "the dropped connection is closed";
    ASSERT_TRUE(capture.waitFor("Connection dropped", 5000));
    bool logged = false;
    for (const auto &message : capture.messages()) {
        if (message->text.find("Connection dropped") != std::string::npos) {
            logged = true;
            EXPECT_GE(message->level, Warning);
            EXPECT_NE(message->text.find("no thread for this connection"), std::string::npos) << message->text;
        }
    }
    EXPECT_TRUE(logged);

    auto served = connectClient(port, "Served");
    ASSERT_TRUE(served);
    EXPECT_EQ(roundTrip(*served, "next"), "next");
    EXPECT_EQ(record->started, 1) << "only the second connection ran onRun";
    EXPECT_EQ(capture.count("accept() failed"), 0) << "the accepting thread goes on";
    served.reset();
    EXPECT_TRUE(eventually([&] { return record->finished == 1; }));
}

TEST(SocketServer, ExceptionInOnRunIsLoggedAndTheServerGoesOn)
{
    LogCapture capture;
    auto record = std::make_shared<ServerRecord>();
    record->throwInRunFor = 0;
    EchoServer server(record);
    ASSERT_TRUE(server.createServer(0));
    const uint16_t port = server.getLocalPort();

    auto failed = connectClient(port, "Failed");
    ASSERT_TRUE(failed);
    EXPECT_TRUE(seesEndOfStream(*failed)) << "the copy's connection closes with it";
    ASSERT_TRUE(capture.waitFor("echo failure", 5000));
    EXPECT_EQ(capture.count("echo failure"), 1);

    auto served = connectClient(port, "Served");
    ASSERT_TRUE(served);
    EXPECT_EQ(roundTrip(*served, "after"), "after");
    served.reset();
    EXPECT_TRUE(eventually([&] { return record->finished == 2; }));
}

// Beyond its limit a server closes a new connection at once, and warns once
// per burst: again only after the count fell below the limit.
TEST(SocketServer, ConnectionsBeyondTheLimitAreClosedAtOnceWithOneWarningPerBurst)
{
    LogCapture capture;
    auto record = std::make_shared<ServerRecord>();
    EchoServer server(record);
    server.maxConnections = 3;
    server.listenerName = "Echo listener";
    ASSERT_TRUE(server.createServer(0));
    const uint16_t port = server.getLocalPort();
    const std::string warning =
        formatString("Echo listener on port %d reached its limit of 3 connections, further connections are closed", port);

    std::vector<std::shared_ptr<Socket>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(connectClient(port));
        ASSERT_TRUE(held.back());
        EXPECT_EQ(roundTrip(*held.back(), "held"), "held");
    }
    EXPECT_EQ(capture.count(warning), 0);

    // A burst of two beyond the limit: both closed without being served.
    for (int i = 0; i < 2; ++i) {
        auto refused = connectClient(port, "Refused");
        ASSERT_TRUE(refused);
        EXPECT_TRUE(seesEndOfStream(*refused)) << "connection " << i << " beyond the limit was not closed";
    }
    EXPECT_EQ(record->started, 3);
    EXPECT_EQ(record->maxActive, 3);
    EXPECT_EQ(capture.count(warning), 1) << "one warning for the burst";
    for (const auto &message : capture.messages()) {
        if (message->text == warning) {
            EXPECT_EQ(message->level, Warning);
        }
    }
    for (const auto &client : held)
        EXPECT_EQ(roundTrip(*client, "still"), "still") << "the connections within the limit go on";

    // One ends: its place is free again once its copy has gone.
    held.front().reset();
    ASSERT_TRUE(eventually([&] { return record->finished == 1; }));
    std::shared_ptr<Socket> again;
    EXPECT_TRUE(eventually([&] {
        again = connectClient(port, "Again");
        return again && roundTrip(*again, "again") == "again";
    })) << "the place of an ended connection was not given back";
    held.front() = std::move(again);
    EXPECT_EQ(record->maxActive, 3);

    // At the limit once more: a new burst, a new warning.
    auto refused = connectClient(port, "Refused");
    ASSERT_TRUE(refused);
    EXPECT_TRUE(seesEndOfStream(*refused));
    EXPECT_EQ(capture.count(warning), 2);
    EXPECT_EQ(record->maxActive, 3);
    EXPECT_EQ(capture.count("accept() failed"), 0) << "the accepting thread goes on";

    held.clear();
    EXPECT_TRUE(eventually([&] { return record->active == 0; }));
}

// --- ISocketServer over UDP -------------------------------------------------------

TEST(SocketServer, BroadcastServerRunsOnceOnACloneThatSharesTheHandle)
{
    auto record = std::make_shared<DatagramRecord>();
    auto server = std::make_unique<DatagramServer>(record);
    ASSERT_TRUE(server->createBroadcastServer(0));
    const uint16_t port = server->getLocalPort();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(eventually([&] { return record->runs == 1; }));
    EXPECT_EQ(record->handleInRun, server->handle()) << "the clone shares the server's handle";
    EXPECT_NE(record->objectInRun.load(), static_cast<const void *>(server.get())) << "onRun runs on a clone";

    EXPECT_TRUE(broadcastEnabled(*server)) << "the service's socket may send broadcasts";

    Socket sender("Sender");
    ASSERT_TRUE(sender.openDatagram());
    ASSERT_EQ(sender.sendTo("who is there", 12, Loopback, port), 12);
    EXPECT_TRUE(eventually([&] { return record->saw("who is there"); }));

    // A second service on the same port cannot bind it.
    {
        LogCapture capture;
        DatagramServer second(std::make_shared<DatagramRecord>());
        EXPECT_FALSE(second.createBroadcastServer(port));
        EXPECT_EQ(second.handle(), -1);
        EXPECT_TRUE(capture.contains(formatString("bind() failed on port %d", port)));
    }

    server.reset();
    ASSERT_TRUE(eventually([&] { return record->finished.load(); }, 2000))
        << "destroying the server must end the clone's receive";
    EXPECT_EQ(record->lastResult, -1);
    EXPECT_EQ(record->runs, 1);
}

// --- SocketsManager -----------------------------------------------------------------

TEST(SocketsManager, CreateSocketRegistersAndRemoveExpiredDropsOnlyDestroyedSockets)
{
    SocketsManager manager;
    Listener listener;
    auto unopened = manager.createSocket("Unopened");
    ASSERT_TRUE(unopened);
    EXPECT_EQ(unopened->name, "Unopened");
    EXPECT_EQ(unopened->handle(), -1);

    const SocketHandle given = SocketHandle::createStream();
    ASSERT_TRUE(given.isOpen());
    const long long descriptor = given.descriptor();
    auto adopted = manager.createSocket("Adopted", given);
    EXPECT_EQ(adopted->handle(), descriptor);
    auto connected = manager.createSocket("Connected");
    ASSERT_TRUE(connected->connect(Loopback, listener.port()));
    EXPECT_EQ(manager.registeredCount(), 3u);

    unopened.reset();
    EXPECT_EQ(manager.registeredCount(), 3u) << "entries stay until removeExpired";
    manager.removeExpired();
    EXPECT_EQ(manager.registeredCount(), 2u);
    EXPECT_EQ(adopted->handle(), descriptor) << "live sockets are left alone";
    EXPECT_NE(connected->handle(), -1);
    manager.removeExpired();
    EXPECT_EQ(manager.registeredCount(), 2u);
}

TEST(SocketsManager, CreateSocketKeepsTheRegistryBoundedWhileSocketsComeAndGo)
{
    SocketsManager manager;
    for (const size_t liveCount : {size_t(5), size_t(200)}) {
        std::vector<std::shared_ptr<Socket>> live;
        std::vector<long long> descriptors;
        for (size_t i = 0; i < liveCount; ++i) {
            SocketHandle handle = SocketHandle::createStream();
            ASSERT_TRUE(handle.isOpen());
            descriptors.push_back(handle.descriptor());
            live.push_back(manager.createSocket("Live", std::move(handle)));
        }
        size_t most = 0;
        for (int i = 0; i < 20000; ++i) {
            auto passing = manager.createSocket("Passing");
            ASSERT_TRUE(passing);
            most = std::max(most, manager.registeredCount());
        }
        EXPECT_LE(most, std::max(SocketsManager::kSweepFloor, 2 * liveCount) + 1)
            << "the entries of destroyed sockets pile up (" << liveCount << " live)";
        EXPECT_GE(manager.registeredCount(), liveCount);
        for (size_t i = 0; i < liveCount; ++i)
            EXPECT_EQ(live[i]->handle(), descriptors[i]) << "a sweep must leave live sockets alone";
        manager.closeAll();
        for (const auto &socket : live)
            EXPECT_EQ(socket->handle(), -1) << "a live socket lost its registration in a sweep";
        EXPECT_EQ(manager.registeredCount(), 0u);
    }
}

TEST(SocketsManager, CloseAllWakesABlockedReadAndEmptiesTheRegistry)
{
    SocketsManager manager;
    Listener listener;
    auto registered = manager.createSocket("Server");
    ASSERT_TRUE(registered->connect(Loopback, listener.port()));
    const auto peer = listener.acceptSocket();
    ASSERT_TRUE(peer);
    auto gone = manager.createSocket("Gone");
    gone.reset();  // an expired entry closeAll must step over
    SocketPair unregistered = makePair(listener, "Unregistered");

    std::atomic<bool> done{false};
    std::atomic<int> result{0};
    std::thread reader([&] {
        char buffer[32];
        result = registered->read(buffer, sizeof buffer, false);
        done = true;
    });
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_FALSE(done) << "the read should still wait";

    const auto begin = Clock::now();
    manager.closeAll();
    const bool woken = eventually([&] { return done.load(); }, 5000);
    EXPECT_TRUE(woken) << "closeAll did not wake the read";
    EXPECT_LT(millisecondsSince(begin), 2000);
    joinOrEnd(reader, done, "a registered socket's read");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(manager.registeredCount(), 0u);
    EXPECT_EQ(registered->handle(), -1);
    EXPECT_EQ(registered->name, "Server") << "the object lives on with its owner";
    EXPECT_TRUE(seesEndOfStream(*peer));
    EXPECT_NE(unregistered.client->handle(), -1) << "only registered sockets are closed";
}

TEST(SocketsManager, CreateSocketAfterCloseAllRegistersAnew)
{
    SocketsManager manager;
    Listener listener;
    auto before = manager.createSocket("Before");
    manager.closeAll();
    manager.removeExpired();
    EXPECT_EQ(manager.registeredCount(), 0u) << "nothing is left to remove after closeAll";

    auto after = manager.createSocket("After");
    ASSERT_TRUE(after);
    EXPECT_EQ(manager.registeredCount(), 1u);
    ASSERT_TRUE(after->connect(Loopback, listener.port()));
    const auto peer = listener.acceptSocket();
    ASSERT_TRUE(peer);
    manager.closeAll();
    EXPECT_EQ(after->handle(), -1) << "the new registration is closed by the next closeAll";
    EXPECT_TRUE(seesEndOfStream(*peer));
    EXPECT_EQ(manager.registeredCount(), 0u);
}
