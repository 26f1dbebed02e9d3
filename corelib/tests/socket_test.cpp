#include "logcapture.h"
#include "platform.h"
#include "socket.h"
#include "sockettestsystem.h"
#include "sockettesttools.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using namespace sockettest;

namespace {

// The messages of a capture that contain `text`.
std::vector<std::shared_ptr<const LogMessage>> messagesWith(const LogCapture &capture, const std::string &text)
{
    std::vector<std::shared_ptr<const LogMessage>> found;
    for (const auto &message : capture.messages()) {
        if (message->text.find(text) != std::string::npos)
            found.push_back(message);
    }
    return found;
}

// What happened to a call that was blocked when its socket was closed.
struct BlockedCall {
    bool stillBlockedBeforeClose = false;
    bool returned = false;
    long long returnedAfterMilliseconds = -1;
    int result = 0;
};

// Runs `call` on a thread, lets it block for `blockMilliseconds`, then closes
// `socket` from this thread and waits (at most 5 s) for the call to return.
template <typename Call>
BlockedCall closeWhileBlocked(Socket &socket, Call call, int blockMilliseconds = 200)
{
    std::atomic<bool> done{false};
    std::atomic<int> result{0};
    std::thread worker([&] {
        result = call();
        done = true;
    });
    std::this_thread::sleep_for(milliseconds(blockMilliseconds));
    BlockedCall outcome;
    outcome.stillBlockedBeforeClose = !done;
    const auto closedAt = Clock::now();
    socket.close();
    outcome.returned = eventually([&] { return done.load(); }, 5000);
    outcome.returnedAfterMilliseconds = millisecondsSince(closedAt);
    joinOrEnd(worker, done, "a call");
    outcome.result = result;
    return outcome;
}

} // namespace

// --- connect -----------------------------------------------------------------

TEST(SocketConnect, RefusedConnectReturnsFalseLogsTheErrorAndHoldsNoHandle)
{
    const uint16_t port = releasedPort();
    LogCapture capture;

    Socket named("Server");
    EXPECT_FALSE(named.connect(Loopback, port));
    EXPECT_EQ(named.handle(), -1);
    auto lines = messagesWith(capture, "Connect to");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]->text, formatString("Connect to 127.0.0.1:%d failed with error %d (Server)", port, ConnectionRefusedError));
    EXPECT_EQ(lines[0]->level, Debug);

    capture.clear();
    Socket unnamed;
    EXPECT_FALSE(unnamed.connect(Loopback, port));
    EXPECT_EQ(unnamed.handle(), -1);
    lines = messagesWith(capture, "Connect to");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]->text, formatString("Connect to 127.0.0.1:%d failed with error %d", port, ConnectionRefusedError))
        << "an unnamed socket's line ends right after the number";
    EXPECT_EQ(capture.count("succeeded"), 0);
}

TEST(SocketConnect, SuccessLogsAndGivesBothEndpoints)
{
    Listener listener;
    LogCapture capture;
    Socket client("Client");
    ASSERT_TRUE(client.connect(Loopback, listener.port()));
    EXPECT_NE(client.handle(), -1);
    EXPECT_EQ(messagesWith(capture, "Connection to").size(), 1u);
    EXPECT_TRUE(capture.contains(formatString("Connection to 127.0.0.1:%d succeeded (Client)", listener.port())));

    const auto accepted = listener.acceptSocket();
    ASSERT_TRUE(accepted);

    uint32_t address = 0;
    uint16_t port = 0;
    ASSERT_TRUE(client.getPeerEndpoint(address, port));
    EXPECT_EQ(address, Loopback);
    EXPECT_EQ(port, listener.port());

    // The client's local port is the port the accepted end sees as its peer.
    uint32_t clientAddress = 0;
    uint16_t clientPort = 0;
    ASSERT_TRUE(accepted->getPeerEndpoint(clientAddress, clientPort));
    EXPECT_EQ(clientAddress, Loopback);
    EXPECT_NE(clientPort, 0);
    EXPECT_EQ(client.getLocalPort(), clientPort);
    EXPECT_EQ(accepted->getLocalPort(), listener.port());

    client.close();
    EXPECT_EQ(client.handle(), -1);
    EXPECT_EQ(client.getLocalPort(), 0);
    EXPECT_FALSE(client.getPeerEndpoint(address, port));
    Socket neverOpened("Idle");
    EXPECT_EQ(neverOpened.getLocalPort(), 0);
    EXPECT_FALSE(neverOpened.getPeerEndpoint(address, port));
}

TEST(SocketConnect, ConnectOnAConnectedObjectClosesTheOldConnectionFirst)
{
    Listener listener;
    Socket client("Client");
    ASSERT_TRUE(client.connect(Loopback, listener.port()));
    const auto oldPeer = listener.acceptSocket("Old");
    ASSERT_TRUE(oldPeer);
    const uint16_t oldLocalPort = client.getLocalPort();
    // A copy still shares the old connection: only a close, not merely
    // letting go of the handle, ends it.
    Socket sharer(client);

    ASSERT_TRUE(client.connect(Loopback, listener.port()));
    const auto newPeer = listener.acceptSocket("New");
    ASSERT_TRUE(newPeer);
    EXPECT_NE(client.getLocalPort(), oldLocalPort) << "a new connection, not the old one";
    EXPECT_TRUE(seesEndOfStream(*oldPeer)) << "the old peer must see the connection end";
    EXPECT_EQ(sharer.handle(), -1);

    ASSERT_EQ(client.write("new", 3), 3);
    char buffer[3];
    ASSERT_EQ(newPeer->read(buffer, 3, true), 3);
    EXPECT_EQ(std::string(buffer, 3), "new");
}

TEST(SocketConnect, ConnectAfterCloseIsRefusedUntilTheObjectGetsAHandleAgain)
{
    Listener listener;
    LogCapture capture;
    Socket client("Stopped");
    ASSERT_TRUE(client.connect(Loopback, listener.port()));
    ASSERT_TRUE(listener.accept().isOpen());
    client.close();

    // An owner's close() means "stop": a thread still running its connect
    // loop must not open a new socket that nobody would close.
    capture.clear();
    EXPECT_FALSE(client.connect(Loopback, listener.port()));
    EXPECT_EQ(client.handle(), -1);
    EXPECT_FALSE(listener.hasPending(100)) << "no connection was made";
    EXPECT_TRUE(capture.contains(formatString("Connect to 127.0.0.1:%d failed with error %d (Stopped)", listener.port(), ClosedSocketError)));

    client.setHandle(SocketHandle());
    EXPECT_TRUE(client.connect(Loopback, listener.port())) << "a new handle makes the object usable again";
    EXPECT_TRUE(listener.hasPending(5000));
}

TEST(SocketConnect, HostNameFormResolvesFirst)
{
    Listener listener;
    LogCapture capture;
    Socket client("Client");
    EXPECT_TRUE(client.connect("127.0.0.1", listener.port()));
    EXPECT_NE(client.handle(), -1);

    capture.clear();
    EXPECT_FALSE(client.connect("orvel-bridge-test.invalid", listener.port()));
    EXPECT_EQ(capture.count("gethostbyname failed"), 1);
    EXPECT_EQ(capture.count("Connect to"), 0) << "no connect is tried when the name does not resolve";
}

// --- read ----------------------------------------------------------------------

TEST(SocketRead, ReadAllCollectsPiecesWhileSingleShotReturnsTheFirst)
{
    Listener listener;
    SocketPair pair = makePair(listener);
    std::vector<char> first(40), second(60);
    for (size_t i = 0; i < first.size(); ++i)
        first[i] = static_cast<char>('a' + i % 26);
    for (size_t i = 0; i < second.size(); ++i)
        second[i] = static_cast<char>('A' + i % 26);

    // all = true: one call across two sends with a pause between them.
    std::thread sender([&] {
        pair.server->write(first.data(), 40);
        std::this_thread::sleep_for(milliseconds(150));
        pair.server->write(second.data(), 60);
    });
    char buffer[100] = {};
    {
        Watchdog watchdog(10000, [&] { pair.client->close(); });
        EXPECT_EQ(pair.client->read(buffer, 100, true), 100);
    }
    sender.join();
    EXPECT_EQ(std::string(buffer, 40), std::string(first.data(), 40));
    EXPECT_EQ(std::string(buffer + 40, 60), std::string(second.data(), 60));

    // all = false: the first call returns what the first send delivered.
    ASSERT_EQ(pair.server->write(first.data(), 40), 40);
    EXPECT_EQ(pair.client->read(buffer, 100, false), 40);
    ASSERT_EQ(pair.server->write(second.data(), 60), 60);
    EXPECT_EQ(pair.client->read(buffer, 100, false), 60);
    EXPECT_EQ(std::string(buffer, 60), std::string(second.data(), 60));
}

TEST(SocketRead, ReceiveTimeoutOnASilentPeerGivesZero)
{
    Listener listener;
    // Applied by connect.
    Socket client("Client");
    client.receiveTimeout = 300;
    ASSERT_TRUE(client.connect(Loopback, listener.port()));
    const auto accepted = listener.acceptSocket();
    ASSERT_TRUE(accepted);

    char buffer[16];
    auto begin = Clock::now();
    {
        Watchdog watchdog(10000, [&] { client.close(); });
        EXPECT_EQ(client.read(buffer, sizeof buffer, false), 0);
        EXPECT_FALSE(watchdog.disarm()) << "the read ignored its time-out";
    }
    auto elapsed = millisecondsSince(begin);
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, 5000);
    EXPECT_NE(client.handle(), -1) << "a time-out leaves the connection open";

    // Applied to a handle that is already open; a time-out also ends a read
    // for all bytes that got only part of them.
    accepted->receiveTimeout = 300;
    accepted->applyTimeouts();
    ASSERT_EQ(client.write("abc", 3), 3);
    begin = Clock::now();
    {
        Watchdog watchdog(10000, [&] { accepted->close(); });
        EXPECT_EQ(accepted->read(buffer, sizeof buffer, true), 0);
        EXPECT_FALSE(watchdog.disarm()) << "the read ignored its time-out";
    }
    elapsed = millisecondsSince(begin);
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, 5000);
}

TEST(SocketRead, ClosedPeerGivesMinusOneAndLogsTheErrorLine)
{
    Listener listener;
    SocketPair pair = makePair(listener);
    LogCapture capture;
    pair.server->close();

    char buffer[16];
    EXPECT_EQ(pair.client->read(buffer, 16, false), -1);
    const auto lines = messagesWith(capture, "Socket::read");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]->text, "Socket::read errorCode=0, errorID=0 (count=0, size=16)");
    EXPECT_EQ(lines[0]->level, Debug);
    EXPECT_NE(pair.client->handle(), -1) << "a failed read leaves the handle to the caller";

    // A peer that closes in the middle of an exact-length read.
    SocketPair second = makePair(listener);
    ASSERT_EQ(second.server->write("0123456789", 10), 10);
    second.server->close();
    capture.clear();
    char large[100];
    EXPECT_EQ(second.client->read(large, 100, true), -1);
    EXPECT_TRUE(capture.contains("Socket::read errorCode=0, errorID=0 (count=10, size=100)"));
}

// A caller that asks is told an orderly end (shut down or closed by the peer)
// apart from a failure, and the orderly end is not logged as one.
TEST(SocketRead, EndOfStreamIsToldApartFromAFailure)
{
    Listener listener;
    SocketPair pair = makePair(listener);
    LogCapture capture;
    ASSERT_TRUE(pair.server->shutdownSend());
    char buffer[16];
    bool endOfStream = false;
    EXPECT_EQ(pair.client->read(buffer, 16, false, &endOfStream), -1);
    EXPECT_TRUE(endOfStream);
    EXPECT_TRUE(messagesWith(capture, "Socket::read").empty());
    // The half that was not shut down still carries bytes the other way.
    ASSERT_EQ(pair.client->write("back", 4), 4);
    EXPECT_EQ(pair.server->read(buffer, 4, true), 4);

    // A socket closed by its owner is a failure, not an end of stream.
    pair.client->close();
    EXPECT_EQ(pair.client->read(buffer, 16, false, &endOfStream), -1);
    EXPECT_FALSE(endOfStream);
    EXPECT_FALSE(pair.client->shutdownSend()) << "nothing to shut down on a closed socket";
}

// --- write ---------------------------------------------------------------------

TEST(SocketWrite, SizeZeroSendsTheTextWithoutItsTerminator)
{
    Listener listener;
    SocketPair pair = makePair(listener);
    EXPECT_EQ(pair.client->write("hello", 0), 5);
    pair.client->close();

    char buffer[16] = {};
    std::string received;
    int n;
    while ((n = pair.server->read(buffer, sizeof buffer, false)) > 0)
        received.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(received, "hello");
    EXPECT_EQ(received.size(), 5u) << "the terminating zero is not sent";
}

TEST(SocketWrite, WriteToAPeerThatWentAwayFails)
{
    Listener listener;
    SocketPair pair = makePair(listener);
    LogCapture capture;
    pair.server->close();
    pair.server.reset();
    ASSERT_TRUE(seesEndOfStream(*pair.client));

    // The first write may still be accepted by the system; the peer answers it
    // with a reset and a later one must fail.
    int result = 0;
    for (int attempt = 0; attempt < 100 && result >= 0; ++attempt) {
        result = pair.client->write("data", 4);
        if (result >= 0)
            std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(capture.contains("Socket::write errorCode=1, errorID="));
}

// --- name resolution -----------------------------------------------------------

TEST(SocketResolve, DottedTextNeedsNoResolver)
{
    LogCapture capture;
    EXPECT_EQ(Socket::resolveHost("192.168.0.10"), 0xC0A8000Au);
    EXPECT_EQ(Socket::resolveHost("127.0.0.1"), Loopback);
    EXPECT_TRUE(capture.messages().empty()) << "no resolver, so no Debug line";
}

TEST(SocketResolve, UnresolvableNameGivesZeroAndOneDebugLine)
{
    LogCapture capture;
    EXPECT_EQ(Socket::resolveHost("no-such-host.orvel-bridge.invalid"), 0u);
    const auto messages = capture.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]->level, Debug);
    EXPECT_EQ(messages[0]->text.rfind("gethostbyname failed for host 'no-such-host.orvel-bridge.invalid'", 0), 0u)
        << messages[0]->text;
}

// --- shared handles ---------------------------------------------------------------

// The system's number of a closed socket stays taken while any copy of its
// handle exists, so that a thread still using a copy cannot reach a socket
// opened later under the same number. Systems hand numbers out again soon
// (Linux the lowest free one, Windows and Wine a free slot of the handle
// table), so some of many new sockets would get a released number.
TEST(SocketHandle, ANumberIsNotReusedWhileACopyLives)
{
    SocketHandle handle = SocketHandle::createStream();
    ASSERT_TRUE(handle.isOpen());
    const long long number = handle.descriptor();
    SocketHandle copy = handle;
    EXPECT_TRUE(copy == handle);

    handle.close();
    EXPECT_FALSE(handle.isOpen());
    EXPECT_FALSE(copy.isOpen()) << "closed for every copy";
    EXPECT_EQ(copy.descriptor(), number);
    handle.release();
    EXPECT_EQ(handle.descriptor(), -1);

    // Numbers taken and given back while the copy lives, by streams and datagrams.
    for (int round = 0; round < 64; ++round) {
        const SocketHandle other = round % 2 ? SocketHandle::createStream() : SocketHandle::createDatagram();
        ASSERT_TRUE(other.isOpen());
        ASSERT_NE(other.descriptor(), number) << "the number was released while a copy still held it";
        other.close();
    }
    EXPECT_EQ(copy.descriptor(), number);
    copy.release();
    EXPECT_EQ(copy.descriptor(), -1);
}

TEST(SocketHandle, CloseShutsTheConnectionDownForThePeer)
{
    Listener listener;
    SocketPair pair = makePair(listener);
    SocketHandle copy = pair.client->sharedHandle();
    copy.close();
    EXPECT_EQ(pair.client->handle(), -1) << "the Socket sees its shared handle closed";
    EXPECT_TRUE(seesEndOfStream(*pair.server));
    EXPECT_FALSE(SocketHandle().isOpen());
    EXPECT_EQ(SocketHandle().descriptor(), -1);
}

// --- copies --------------------------------------------------------------------

TEST(SocketCopies, CopiesShareTheHandleAndTheFirstCloseClosesItForAll)
{
    Listener listener;
    SocketPair pair = makePair(listener);
    pair.client->receiveTimeout = 1234;
    pair.client->sendTimeout = 567;

    Socket copy(*pair.client);
    const auto clone = std::dynamic_pointer_cast<Socket>(pair.client->clone());
    ASSERT_TRUE(clone);
    EXPECT_EQ(copy.handle(), pair.client->handle());
    EXPECT_EQ(clone->handle(), pair.client->handle());
    EXPECT_EQ(clone->name, "Client");
    EXPECT_EQ(clone->receiveTimeout, 1234u);
    EXPECT_EQ(clone->sendTimeout, 567u);
    EXPECT_EQ(copy.nameSuffix(), " (Client)");

    // Either object talks on the same connection.
    ASSERT_EQ(copy.write("x", 1), 1);
    char byte = 0;
    ASSERT_EQ(pair.server->read(&byte, 1, true), 1);

    copy.close();
    EXPECT_EQ(copy.handle(), -1);
    EXPECT_EQ(pair.client->handle(), -1) << "closing one copy closes the socket for all";
    EXPECT_EQ(clone->handle(), -1);
    EXPECT_EQ(pair.client->read(&byte, 1, false), -1);
    EXPECT_EQ(clone->write("y", 1), -1);
    EXPECT_TRUE(seesEndOfStream(*pair.server));
}

TEST(SocketCopies, DestroyingACopyClosesTheSocketUnlessTheHandleWasHandedOn)
{
    Listener listener;
    SocketPair pair = makePair(listener);
    { Socket copy(*pair.client); }
    EXPECT_EQ(pair.client->handle(), -1) << "the copy closed the shared socket when it went";
    EXPECT_TRUE(seesEndOfStream(*pair.server));

    // Handing the handle on leaves the socket open for the new owner.
    SocketPair second = makePair(listener);
    auto owner = std::make_unique<Socket>("Owner");
    owner->setHandle(second.client->takeHandle());
    EXPECT_EQ(second.client->handle(), -1);
    second.client.reset();  // the former holder goes without closing it
    ASSERT_NE(owner->handle(), -1);
    ASSERT_EQ(owner->write("kept", 4), 4);
    char buffer[4];
    ASSERT_EQ(second.server->read(buffer, 4, true), 4);
    EXPECT_EQ(std::string(buffer, 4), "kept");
}

TEST(SocketCopies, NameSuffix)
{
    EXPECT_EQ(Socket("Server").nameSuffix(), " (Server)");
    EXPECT_EQ(Socket().nameSuffix(), "");
}

// --- datagrams -----------------------------------------------------------------

TEST(SocketDatagram, ReceiveFromGivesTheDatagramAndItsSender)
{
    Socket receiver("Receiver");
    ASSERT_TRUE(receiver.openDatagram());
    ASSERT_TRUE(receiver.bind(Loopback, 0));
    const uint16_t port = receiver.getLocalPort();
    ASSERT_NE(port, 0);

    Socket sender("Sender");
    ASSERT_TRUE(sender.openDatagram());
    ASSERT_TRUE(sender.bind(Loopback, 0));
    ASSERT_EQ(sender.sendTo("ping", 4, Loopback, port), 4);

    ASSERT_EQ(receiver.waitReadable(5000), 1);
    char buffer[16];
    uint32_t address = 0;
    uint16_t senderPort = 0;
    ASSERT_EQ(receiver.receiveFrom(buffer, sizeof buffer, address, senderPort), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    EXPECT_EQ(address, Loopback);
    EXPECT_EQ(senderPort, sender.getLocalPort());
    EXPECT_EQ(receiver.waitReadable(50), 0) << "nothing more waits";
}

// --- close() from another thread ----------------------------------------------

TEST(SocketClose, WakesABlockedRead)
{
    Listener listener;
    SocketPair pair = makePair(listener);
    char buffer[64];
    const BlockedCall call = closeWhileBlocked(*pair.client, [&] { return pair.client->read(buffer, 64, false); });
    EXPECT_TRUE(call.stillBlockedBeforeClose);
    EXPECT_TRUE(call.returned);
    EXPECT_LT(call.returnedAfterMilliseconds, 2000);
    EXPECT_EQ(call.result, -1);
    EXPECT_EQ(pair.client->handle(), -1);
    EXPECT_TRUE(seesEndOfStream(*pair.server));
}

TEST(SocketClose, WakesABlockedWriteToAPeerThatDoesNotRead)
{
    Listener listener(16, 4096);  // small receive buffers for the accepted end
    SocketPair pair = makePair(listener);
    pair.client->sharedHandle().setBufferSizes(4096);
    std::vector<char> data(8 * 1024 * 1024, 'w');

    const BlockedCall call = closeWhileBlocked(
        *pair.client, [&] { return pair.client->write(data.data(), static_cast<uint32_t>(data.size())); });
    EXPECT_TRUE(call.stillBlockedBeforeClose) << "the socket buffers should have been full";
    EXPECT_TRUE(call.returned);
    EXPECT_LT(call.returnedAfterMilliseconds, 2000);
    EXPECT_EQ(call.result, -1);
    EXPECT_EQ(pair.client->handle(), -1);
}

TEST(SocketClose, WakesAConnectThatHangsInTheHandshake)
{
    FullListener listener;
    ASSERT_TRUE(listener.full()) << "could not fill the listener's accept queue";
    LogCapture capture;
    Socket client("Hanging");
    const BlockedCall call = closeWhileBlocked(client, [&] { return client.connect(Loopback, listener.port()) ? 1 : 0; });
    EXPECT_TRUE(call.stillBlockedBeforeClose) << "the connect should still wait for the handshake";
    EXPECT_TRUE(call.returned);
    EXPECT_LT(call.returnedAfterMilliseconds, 2000);
    EXPECT_EQ(call.result, 0) << "connect must report the failure";
    EXPECT_EQ(client.handle(), -1);
    EXPECT_TRUE(capture.contains(formatString("Connect to 127.0.0.1:%d failed with error", listener.port())));
    EXPECT_EQ(capture.count("succeeded"), 0);
}

TEST(SocketConnect, AHandshakeNobodyAnswersGivesUpAfterTheConnectTimeout)
{
    FullListener listener;
    ASSERT_TRUE(listener.full()) << "could not fill the listener's accept queue";
    LogCapture capture;
    Socket client("Hanging");
    client.connectTimeout = 300;
    const auto begin = Clock::now();
    EXPECT_FALSE(client.connect(Loopback, listener.port()));
    EXPECT_GE(millisecondsSince(begin), 300) << "it waited for its time-out";
    EXPECT_EQ(client.handle(), -1);

    // The failure is logged as every failed connect is, with the system's
    // number for a time-out.
    const std::string prefix = formatString("Connect to 127.0.0.1:%d failed with error ", listener.port());
    std::vector<std::string> lines;
    for (const auto &message : capture.messages()) {
        if (message->text.rfind(prefix, 0) == 0)
            lines.push_back(message->text);
    }
    ASSERT_EQ(lines.size(), 1u);
    const int error = std::atoi(lines[0].c_str() + prefix.size());
    EXPECT_EQ(Platform::errorClassOf(error, 1), 2) << lines[0] << " should be a time-out";
    EXPECT_NE(lines[0].find("(Hanging)"), std::string::npos);
}

// A close() that lands while another thread is just starting its connect
// (before or after the new handle is in place) must still end that connect.
TEST(SocketClose, CloseRacingWithTheStartOfAConnectAlwaysEndsIt)
{
    FullListener listener;
    ASSERT_TRUE(listener.full()) << "could not fill the listener's accept queue";
    const auto begin = Clock::now();
    int rounds = 0;
    int hung = 0;
    int connected = 0;
    // Heap state, so that a connect that never returns can be left behind.
    struct Round {
        Socket client{"Racing"};
        std::atomic<bool> done{false};
        std::atomic<bool> result{false};
    };
    const uint16_t port = listener.port();
    while (rounds < 200 && millisecondsSince(begin) < 1500) {
        auto round = std::make_shared<Round>();
        std::thread connector([round, port] {
            round->result = round->client.connect(Loopback, port);
            round->done = true;
        });
        if (rounds % 3 == 1)
            std::this_thread::yield();
        else if (rounds % 3 == 2)
            std::this_thread::sleep_for(std::chrono::microseconds(20 * (rounds % 10)));
        round->client.close();
        ++rounds;
        if (!eventually([&] { return round->done.load(); }, 2000)) {
            ++hung;
            round->client.close();
            connector.detach();
            break;
        }
        connector.join();
        connected += round->result;
        EXPECT_EQ(round->client.handle(), -1);
    }
    EXPECT_EQ(hung, 0) << "a connect went on after its socket was closed";
    EXPECT_EQ(connected, 0);
    EXPECT_GE(rounds, 20);
}

TEST(SocketClose, WakesABlockedWaitReadable)
{
    Listener listener;
    SocketPair pair = makePair(listener);
    const BlockedCall call = closeWhileBlocked(*pair.client, [&] { return pair.client->waitReadable(10000); });
    EXPECT_TRUE(call.stillBlockedBeforeClose);
    EXPECT_TRUE(call.returned);
    EXPECT_LT(call.returnedAfterMilliseconds, 2000);
    EXPECT_NE(call.result, 0) << "the wait must not report a time-out";
    EXPECT_EQ(pair.client->handle(), -1);
    EXPECT_EQ(pair.client->waitReadable(10), -1) << "a closed object has nothing to wait on";

    // The same for an unconnected datagram socket (the discovery responder's
    // stop path).
    Socket datagram("Datagram");
    ASSERT_TRUE(datagram.openDatagram());
    ASSERT_TRUE(datagram.bind(Loopback, 0));
    const BlockedCall wait = closeWhileBlocked(datagram, [&] { return datagram.waitReadable(10000); });
    EXPECT_TRUE(wait.stillBlockedBeforeClose);
    EXPECT_TRUE(wait.returned);
    EXPECT_LT(wait.returnedAfterMilliseconds, 2000);
    EXPECT_NE(wait.result, 0);
    EXPECT_EQ(datagram.handle(), -1);
}

TEST(SocketClose, WakesABlockedReceiveFrom)
{
    Socket receiver("Receiver");
    ASSERT_TRUE(receiver.openDatagram());
    ASSERT_TRUE(receiver.bind(Loopback, 0));
    char buffer[64];
    uint32_t address = 0;
    uint16_t port = 0;
    const BlockedCall call =
        closeWhileBlocked(receiver, [&] { return receiver.receiveFrom(buffer, sizeof buffer, address, port); });
    EXPECT_TRUE(call.stillBlockedBeforeClose);
    EXPECT_TRUE(call.returned);
    EXPECT_LT(call.returnedAfterMilliseconds, 2000);
    EXPECT_EQ(call.result, -1) << "a wake-up by close is a failure, not an empty datagram";
    EXPECT_EQ(receiver.handle(), -1);
}

// A read that is woken by close() must never pick up bytes of a socket that
// another thread opened meanwhile, possibly under the same number.
TEST(SocketClose, ClosingDuringAReadNeverDeliversAnotherSocketsBytes)
{
    Listener listener;
    Listener openerListener;
    std::atomic<bool> stop{false};
    std::atomic<int> opened{0};
    std::thread opener([&] {
        // New connections with data already waiting at both ends, made as fast as possible.
        while (!stop) {
            SocketHandle client = SocketHandle::createStream();
            if (!client.connect(Loopback, openerListener.port(), 0))
                continue;
            const SocketHandle server = openerListener.accept(1000);
            client.send("!", 1);
            server.send("!", 1);
            ++opened;
            std::this_thread::yield();
            client.close();
            server.close();
        }
    });

    const ReadCloseRounds outcome = closeDuringReads(listener);
    stop = true;
    opener.join();
    EXPECT_EQ(outcome.wrongReads, 0) << "a read returned bytes after its socket was closed";
    EXPECT_EQ(outcome.stuckReads, 0) << "a read was not woken by close()";
    EXPECT_GE(outcome.rounds, 20);
    EXPECT_GT(opened.load(), 0);
}

// Every kind of blocking call ends promptly when another thread closes its
// handle, whether the close lands before, just as or long after the call
// began to wait, round after round.
TEST(SocketClose, EveryKindOfBlockedCallEndsPromptlyAtEveryClose)
{
    Listener listener(16, 4096);
    FullListener full;
    ASSERT_TRUE(full.full()) << "could not fill the listener's accept queue";
    std::vector<char> data(4 * 1024 * 1024, 'w');
    char buffer[64];

    // A fresh handle to block on and the call that blocks on it.
    struct Kind {
        const char *name;
        std::function<SocketHandle()> make;
        std::function<bool(const SocketHandle &)> call;  // true when it failed, as a closed handle must
    };
    std::vector<std::shared_ptr<Socket>> peers;  // the far ends, kept open and silent
    const auto connected = [&] {
        SocketPair pair = makePair(listener);
        peers.push_back(pair.server);
        return pair.client->takeHandle();
    };
    const auto datagram = [] {
        SocketHandle handle = SocketHandle::createDatagram();
        handle.bind(Loopback, 0);
        return handle;
    };
    const std::vector<Kind> kinds = {
        {"receive", connected, [&](const SocketHandle &handle) { return handle.receive(buffer, sizeof buffer) == -1; }},
        {"send",
         [&] {
             SocketHandle handle = connected();
             handle.setBufferSizes(4096);
             return handle;
         },
         [&](const SocketHandle &handle) {
             for (size_t sent = 0; sent < data.size();) {
                 const long count = handle.send(data.data() + sent, data.size() - sent);
                 if (count <= 0)
                     return count == -1;
                 sent += static_cast<size_t>(count);
             }
             return false;  // a peer that never reads took it all
         }},
        {"accept",
         [] {
             SocketHandle handle = SocketHandle::createStream();
             handle.bind(Loopback, 0);
             handle.listen(4);
             return handle;
         },
         [](const SocketHandle &handle) {
             SocketHandle::AcceptFailure failure = SocketHandle::AcceptFailure::None;
             return !handle.accept(failure).isOpen() && failure == SocketHandle::AcceptFailure::Failed;
         }},
        {"connect", [] { return SocketHandle::createStream(); },
         [&](const SocketHandle &handle) { return !handle.connect(Loopback, full.port(), 0); }},
        {"waitReadable", connected,
         [](const SocketHandle &handle) {
             const SocketHandle *handles[] = {&handle};
             bool ready = false;
             // Woken, not timed out: ready, or a failure on the closed handle.
             const int result = SocketHandle::waitReadable(handles, 1, 30000, &ready);
             return result == -1 || (result == 1 && ready);
         }},
        {"receiveFrom", datagram,
         [&](const SocketHandle &handle) {
             uint32_t address = 0;
             uint16_t port = 0;
             return handle.receiveFrom(buffer, sizeof buffer, address, port) == -1;
         }},
    };

    for (const Kind &kind : kinds) {
        SCOPED_TRACE(kind.name);
        long long slowest = 0;
        int failures = 0;
        for (int round = 0; round < 24; ++round) {
            const SocketHandle handle = kind.make();
            ASSERT_TRUE(handle.isOpen());
            std::atomic<bool> done{false};
            std::atomic<bool> failed{false};
            std::thread worker([&] {
                failed = kind.call(handle);
                done = true;
            });
            // Close at different moments: at once, around the start of the
            // wait, and well inside it.
            if (round % 4 == 1)
                std::this_thread::yield();
            else if (round % 4 == 2)
                std::this_thread::sleep_for(std::chrono::microseconds(50 * (round % 9)));
            else if (round % 4 == 3)
                std::this_thread::sleep_for(milliseconds(30));
            const auto closedAt = Clock::now();
            handle.close();
            const bool returned = eventually([&] { return done.load(); }, 5000);
            slowest = std::max(slowest, millisecondsSince(closedAt));
            joinOrEnd(worker, done, kind.name);
            EXPECT_TRUE(returned) << "round " << round;
            failures += failed ? 0 : 1;
        }
        EXPECT_EQ(failures, 0) << "a call on a closed handle reported success or a time-out";
        // Each wake-up is immediate; the bound only allows for a loaded machine.
        EXPECT_LT(slowest, 2000);
        peers.clear();
    }
}

// A receive, a receiveFrom and an accept whose time-out runs out fail as
// "timed out", which the platform reads as IPlatform::TimedOut.
TEST(SocketHandle, RunOutTimeoutsFailAsTimedOut)
{
    Listener listener;
    SocketPair pair = makePair(listener);
    const SocketHandle stream = pair.client->sharedHandle();
    stream.setTimeouts(200, 0);
    char buffer[16];
    auto begin = Clock::now();
    EXPECT_EQ(stream.receive(buffer, sizeof buffer), -1);
    EXPECT_EQ(Platform::instance().getErrorCode(1), IPlatform::TimedOut);
    EXPECT_GE(millisecondsSince(begin), 150);
    EXPECT_TRUE(stream.isOpen()) << "a time-out leaves the handle open";

    const SocketHandle datagram = SocketHandle::createDatagram();
    ASSERT_TRUE(datagram.bind(Loopback, 0));
    datagram.setTimeouts(200, 0);
    uint32_t address = 0;
    uint16_t port = 0;
    begin = Clock::now();
    EXPECT_EQ(datagram.receiveFrom(buffer, sizeof buffer, address, port), -1);
    EXPECT_EQ(Platform::instance().getErrorCode(1), IPlatform::TimedOut);
    EXPECT_GE(millisecondsSince(begin), 150);

    const SocketHandle listening = SocketHandle::createStream();
    ASSERT_TRUE(listening.bind(Loopback, 0));
    ASSERT_TRUE(listening.listen(4));
    listening.setTimeouts(200, 0);
    SocketHandle::AcceptFailure failure = SocketHandle::AcceptFailure::None;
    begin = Clock::now();
    EXPECT_FALSE(listening.accept(failure).isOpen());
    EXPECT_EQ(failure, SocketHandle::AcceptFailure::Retry) << "a time-out is no failure of the listening socket";
    EXPECT_EQ(Platform::instance().getErrorCode(1), IPlatform::TimedOut);
    EXPECT_GE(millisecondsSince(begin), 150);
    datagram.close();
    listening.close();
}
