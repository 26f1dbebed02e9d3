#include "logcapture.h"
#include "sockettestsystem.h"
#include "sockettesttools.h"
#include "tunnel.h"
#include "tunneltesttools.h"

#include <atomic>
#include <gtest/gtest.h>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

using namespace sockettest;
using namespace tunneltest;

namespace {

INSTANTIATE_TEST_SUITE_P(Tunnel, TunnelPaths, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "Splice" : "Copy"; });

} // namespace

TEST_P(TunnelPaths, BytesPassIntactBothWaysAtOnce)
{
    TunnelRig rig;
    RecordingListener listener;
    auto tunnel = makeTunnel(&listener, 5, rig.endpoint1, rig.endpoint2, 3000);
    ASSERT_TRUE(tunnel->start());

    const size_t size = 3 * 1024 * 1024 + 12345;
    std::atomic<size_t> forward{0}, backward{0};
    std::thread writer1([&] { writePattern(*rig.near1, size, 1); });
    std::thread writer2([&] { writePattern(*rig.near2, size, 2); });
    std::thread reader2([&] { forward = readPattern(*rig.near2, size, 1); });
    std::thread reader1([&] { backward = readPattern(*rig.near1, size, 2); });
    reader1.join();
    reader2.join();
    EXPECT_EQ(forward.load(), size) << "endpoint1 to endpoint2";
    EXPECT_EQ(backward.load(), size) << "endpoint2 to endpoint1";
    EXPECT_EQ(listener.calls, 0) << "the relay is still running";
    EXPECT_EQ(tunnel->copies(), !GetParam()) << "TCP sockets splice unless copying is asked for";

    // Whatever happened, stop the relay and release the writers.
    tunnel->stop();
    rig.near1->close();
    rig.near2->close();
    writer1.join();
    writer2.join();
    EXPECT_EQ(listener.calls, 1);
}

// Data waiting on both endpoints in the same wait goes endpoint1 to endpoint2
// first. It is made observable by shutting one endpoint down for sending:
// the relay ends at the first write to that endpoint, so only the direction
// forwarded before that failure delivers its bytes.
TEST_P(TunnelPaths, DataWaitingOnBothEndsIsForwardedFromEndpoint1First)
{
    for (const int shutEndpoint : {2, 1}) {
        SCOPED_TRACE(shutEndpoint == 2 ? "endpoint2 cannot send" : "endpoint1 cannot send");
        TunnelRig rig;
        ASSERT_EQ(rig.near1->write("1", 1), 1);
        ASSERT_EQ(rig.near2->write("2", 1), 1);
        ASSERT_TRUE(becomesReadable(*rig.endpoint1, 5000));
        ASSERT_TRUE(becomesReadable(*rig.endpoint2, 5000));
        Socket &shut = shutEndpoint == 2 ? *rig.endpoint2 : *rig.endpoint1;
        ASSERT_TRUE(shut.shutdownSend());

        RecordingListener listener;
        auto tunnel = makeTunnel(&listener, 9, rig.endpoint1, rig.endpoint2, 3000);
        ASSERT_TRUE(tunnel->start());
        ASSERT_TRUE(eventually([&] { return listener.calls == 1; }, 5000)) << "the failed write ends the relay";
        tunnel->join();

        char byte = 0;
        if (shutEndpoint == 2) {
            // endpoint1's byte went first and its write failed: endpoint2's
            // byte was never forwarded.
            EXPECT_EQ(rig.near1->read(&byte, 1, false), -1) << "received '" << byte << "' from endpoint2";
        } else {
            // endpoint1's byte went first and arrived; then endpoint2's
            // byte could not be written to endpoint1.
            EXPECT_EQ(rig.near2->read(&byte, 1, false), 1);
            EXPECT_EQ(byte, '1');
            EXPECT_EQ(rig.near1->read(&byte, 1, false), -1);
        }
    }
}

// A side that ends its stream has the end passed on at once; the relay goes
// on until the other side ends too, then notifies once and closes both.
TEST_P(TunnelPaths, AnEndIsPassedOnAndTheRelayEndsWhenBothSidesHaveEnded)
{
    for (const int closedSide : {1, 2}) {
        SCOPED_TRACE(closedSide == 1 ? "endpoint1's peer closes first" : "endpoint2's peer closes first");
        TunnelRig rig;
        RecordingListener listener;
        auto tunnel = makeTunnel(&listener, 42, rig.endpoint1, rig.endpoint2, 3000);
        ASSERT_TRUE(tunnel->start());

        ASSERT_EQ(rig.near1->write("ping", 4), 4);
        char buffer[4];
        ASSERT_EQ(rig.near2->read(buffer, 4, true), 4);
        EXPECT_EQ(std::string(buffer, 4), "ping");
        std::this_thread::sleep_for(milliseconds(50));  // the relay waits again

        Socket &closing = closedSide == 1 ? *rig.near1 : *rig.near2;
        Socket &other = closedSide == 1 ? *rig.near2 : *rig.near1;
        auto begin = Clock::now();
        closing.close();
        EXPECT_TRUE(seesEndOfStream(other)) << "the end is passed on";
        EXPECT_LT(millisecondsSince(begin), 1500) << "at once, not after the 3-s wait";
        std::this_thread::sleep_for(milliseconds(100));
        EXPECT_EQ(listener.calls, 0) << "the other side may still answer";

        begin = Clock::now();
        other.close();
        ASSERT_TRUE(eventually([&] { return listener.calls > 0; }, 5000));
        EXPECT_LT(millisecondsSince(begin), 1500);
        tunnel->join();
        EXPECT_EQ(listener.calls, 1);
        EXPECT_EQ(listener.lastId, 42);
        EXPECT_EQ(rig.endpoint1->handle(), -1);
        EXPECT_EQ(rig.endpoint2->handle(), -1);
    }
}

// The way HTTP/1.0 clients and many scripts talk: send the request, shut
// down the sending half, read the answer to its end.
TEST_P(TunnelPaths, AHalfClosedRequestStillGetsItsWholeAnswer)
{
    for (const int asking : {1, 2}) {
        SCOPED_TRACE(asking == 1 ? "endpoint1's side asks" : "endpoint2's side asks");
        TunnelRig rig;
        RecordingListener listener;
        auto tunnel = makeTunnel(&listener, 5, rig.endpoint1, rig.endpoint2, 3000);
        ASSERT_TRUE(tunnel->start());
        Socket &client = asking == 1 ? *rig.near1 : *rig.near2;
        Socket &server = asking == 1 ? *rig.near2 : *rig.near1;

        ASSERT_EQ(client.write("GET /", 5), 5);
        ASSERT_TRUE(client.shutdownSend());
        char request[5];
        ASSERT_EQ(server.read(request, 5, true), 5);
        EXPECT_EQ(std::string(request, 5), "GET /");
        ASSERT_TRUE(seesEndOfStream(server)) << "the request's end is passed on";

        const size_t answer = size_t(3) * 1024 * 1024;
        std::thread writer([&] {
            writePattern(server, answer, 11);
            server.close();
        });
        EXPECT_EQ(readPattern(client, answer, 11), answer);
        writer.join();
        EXPECT_TRUE(seesEndOfStream(client)) << "the answer's end is passed on";
        ASSERT_TRUE(eventually([&] { return listener.calls > 0; }, 5000));
        tunnel->join();
        EXPECT_EQ(listener.calls, 1);
    }
}

// After a half-close the remaining direction may stay silent only for its
// source's receive time-out; a peer that closed for good ends the relay at
// the first bytes that cannot reach it.
TEST_P(TunnelPaths, AHalfClosedRelayEndsOnSilenceOrOnAPeerThatHasGone)
{
    {
        SCOPED_TRACE("silent answer");
        TunnelRig rig;
        rig.endpoint2->receiveTimeout = 300;
        RecordingListener listener;
        auto tunnel = makeTunnel(&listener, 6, rig.endpoint1, rig.endpoint2, 100);
        ASSERT_TRUE(tunnel->start());
        ASSERT_TRUE(rig.near1->shutdownSend());
        const auto begin = Clock::now();
        ASSERT_TRUE(eventually([&] { return listener.calls > 0; }, 5000)) << "silence must end a half-closed relay";
        EXPECT_GE(millisecondsSince(begin), 250) << "not before the receive time-out";
        tunnel->join();
        EXPECT_TRUE(seesEndOfStream(*rig.near2));
    }
    {
        SCOPED_TRACE("peer gone");
        TunnelRig rig;
        RecordingListener listener;
        auto tunnel = makeTunnel(&listener, 7, rig.endpoint1, rig.endpoint2, 3000);
        ASSERT_TRUE(tunnel->start());
        rig.near1->close();
        ASSERT_TRUE(seesEndOfStream(*rig.near2));
        // The first bytes meet a closed socket (which resets the connection);
        // the ones after them cannot be written.
        for (int round = 0; round < 50 && listener.calls == 0; ++round) {
            rig.near2->write("answer", 6);
            std::this_thread::sleep_for(milliseconds(20));
        }
        EXPECT_EQ(listener.calls, 1) << "writes to a peer that has gone end the relay";
        tunnel->join();
    }
}

TEST_P(TunnelPaths, StopOnAnIdleTunnelReturnsWithoutWaitingForTheTimeout)
{
    TunnelRig rig;
    RecordingListener listener;
    auto tunnel = makeTunnel(&listener, 3, rig.endpoint1, rig.endpoint2, 3000);
    ASSERT_TRUE(tunnel->start());
    std::this_thread::sleep_for(milliseconds(100));  // the relay is in its wait
    EXPECT_EQ(listener.calls, 0);

    const auto begin = Clock::now();
    tunnel->stop();
    EXPECT_LT(millisecondsSince(begin), 1500);
    EXPECT_EQ(listener.calls, 1) << "notified before stop returns";
    EXPECT_EQ(listener.lastId, 3);
    EXPECT_FALSE(tunnel->isRunning());
    EXPECT_EQ(rig.endpoint1->handle(), -1);
    EXPECT_EQ(rig.endpoint2->handle(), -1);
    EXPECT_TRUE(seesEndOfStream(*rig.near1));
    EXPECT_TRUE(seesEndOfStream(*rig.near2));
}

TEST_P(TunnelPaths, StopWakesARelayBlockedInAWriteToAPeerThatDoesNotRead)
{
    TunnelRig rig(4096);
    rig.endpoint2->sharedHandle().setBufferSizes(4096);
    RecordingListener listener;
    auto tunnel = makeTunnel(&listener, 4, rig.endpoint1, rig.endpoint2, 3000);
    ASSERT_TRUE(tunnel->start());

    // near2 never reads: the relay ends up waiting in its write to endpoint2,
    // and behind it the writer waits in its write to near1.
    std::atomic<bool> writerDone{false};
    std::thread writer([&] {
        writePattern(*rig.near1, size_t(256) * 1024 * 1024, 7);
        writerDone = true;
    });
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_FALSE(writerDone) << "the buffers should have filled up";

    const auto begin = Clock::now();
    {
        // Should stop leave the relay in its write, the reset of near2 ends it.
        Watchdog watchdog(5000, [&] { rig.near2->close(); });
        tunnel->stop();
        EXPECT_FALSE(watchdog.disarm()) << "stop did not wake the relay's write";
    }
    EXPECT_LT(millisecondsSince(begin), 1500);
    EXPECT_EQ(listener.calls, 1);
    const bool released = eventually([&] { return writerDone.load(); }, 5000);
    EXPECT_TRUE(released) << "the writer should fail once endpoint1 is closed";
    if (!released)
        rig.near1->close();
    writer.join();
}

TEST(Tunnel, EmptyEndpointsBecomeNamedUnopenedSockets)
{
    Tunnel tunnel(nullptr, 1, nullptr, nullptr);
    ASSERT_TRUE(tunnel.endpoint1());
    ASSERT_TRUE(tunnel.endpoint2());
    EXPECT_NE(tunnel.endpoint1(), tunnel.endpoint2());
    EXPECT_EQ(tunnel.endpoint1()->name, "Tunnel endpoint1");
    EXPECT_EQ(tunnel.endpoint2()->name, "Tunnel endpoint2");
    EXPECT_EQ(tunnel.endpoint1()->handle(), -1);
    EXPECT_EQ(tunnel.endpoint2()->handle(), -1);
    EXPECT_EQ(tunnel.id(), 1);

    // A given endpoint is kept as it is.
    auto given = std::make_shared<Socket>("Given");
    Tunnel half(nullptr, 2, nullptr, given);
    EXPECT_EQ(half.endpoint2(), given);
    EXPECT_EQ(half.endpoint1()->name, "Tunnel endpoint1");

    // Started without open sockets, the relay ends at once and tells its listener.
    RecordingListener listener;
    Tunnel idle(&listener, 8, nullptr, nullptr);
    ASSERT_TRUE(idle.start());
    idle.join();
    EXPECT_EQ(listener.calls, 1);
    EXPECT_EQ(listener.lastId, 8);
}

TEST(Tunnel, ConnectStopsAtAFailedFirstEndpoint)
{
    const uint16_t refused = releasedPort();
    Listener second;
    LogCapture capture;
    Tunnel tunnel(nullptr, 1, nullptr, nullptr);
    EXPECT_FALSE(tunnel.connect(Loopback, refused, Loopback, second.port()));
    EXPECT_EQ(tunnel.endpoint1()->handle(), -1);
    EXPECT_EQ(tunnel.endpoint2()->handle(), -1) << "the second endpoint is not tried";
    EXPECT_FALSE(second.hasPending(200)) << "nobody connected to the second address";
    EXPECT_EQ(capture.count("Connect to"), 1);
    EXPECT_TRUE(capture.contains(formatString("Connect to 127.0.0.1:%d failed with error %d (Tunnel endpoint1)", refused, ConnectionRefusedError)));
    EXPECT_EQ(capture.count("Connection to"), 0);

    // Both reachable: both endpoints connect, the first address first.
    Listener first;
    capture.clear();
    Tunnel working(nullptr, 2, nullptr, nullptr);
    ASSERT_TRUE(working.connect(Loopback, first.port(), Loopback, second.port()));
    EXPECT_NE(working.endpoint1()->handle(), -1);
    EXPECT_NE(working.endpoint2()->handle(), -1);
    uint32_t address = 0;
    uint16_t port = 0;
    ASSERT_TRUE(working.endpoint1()->getPeerEndpoint(address, port));
    EXPECT_EQ(port, first.port());
    ASSERT_TRUE(working.endpoint2()->getPeerEndpoint(address, port));
    EXPECT_EQ(port, second.port());
    EXPECT_EQ(capture.count("Connection to"), 2);
}

// A sender pushing into a relay whose far side never reads fills the kernel
// buffers along the way; the relay's own sockets and its pipes take in no
// more than the relay's bound (unbounded, the kernel grows them to
// megabytes), and the relay still ends at once on stop. Measured from
// outside: the bytes the sender got rid of, less the little that the two
// outer sockets, capped to a few kilobytes, can hold.
TEST_P(TunnelPaths, AStalledReaderFillsOnlyBoundedBuffersAndStopStillEndsTheRelay)
{
    constexpr int OuterBufferBytes = 4096;
    // What the outer sockets hold beyond their cap (the kernel doubles a
    // cap and rounds it up to its minimum), and the piece in flight.
    constexpr size_t OuterAllowance = 64 * 1024;
    constexpr size_t Piece = 4096;
    TunnelRig rig(OuterBufferBytes);  // near2's buffers
    rig.near1->sharedHandle().setBufferSizes(OuterBufferBytes);
    RecordingListener listener;
    auto tunnel = makeTunnel(&listener, 10, rig.endpoint1, rig.endpoint2, 3000);
    ASSERT_TRUE(tunnel->start());
    std::atomic<size_t> written{0};
    std::atomic<bool> writerDone{false};
    std::thread writer([&] {
        const std::vector<char> piece(Piece, 's');
        while (written < size_t(256) * 1024 * 1024 && rig.near1->write(piece.data(), Piece) == int(Piece))
            written += Piece;
        writerDone = true;
    });

    // Wait until the buffers have stopped filling.
    size_t held = 0;
    for (int round = 0; round < 50; ++round) {
        std::this_thread::sleep_for(milliseconds(100));
        const size_t now = written.load();
        if (now == held && held > 0)
            break;
        held = now;
    }
    EXPECT_FALSE(writerDone) << "the sender should be held up";
    std::cout << "stalled relay took in " << held << " bytes (bound " << Tunnel::HeldBytesBound << " plus "
              << OuterAllowance << " in the outer sockets)\n";
    EXPECT_GT(held, size_t(100 * 1024)) << "the relay's buffers should have filled";
    EXPECT_LE(held, Tunnel::HeldBytesBound + OuterAllowance);

    const auto begin = Clock::now();
    tunnel->stop();
    EXPECT_LT(millisecondsSince(begin), 1500);
    EXPECT_EQ(listener.calls, 1);
    rig.near1->close();
    writer.join();
}
