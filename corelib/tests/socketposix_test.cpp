// The socket layer's cases that rest on Linux mechanisms: SIGPIPE, and
// descriptor numbers that the system hands out again at once (the lowest
// free one). The behaviours themselves are checked on every platform in
// socket_test.cpp.

#include "logcapture.h"
#include "socket.h"
#include "sockettesttools.h"

#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace sockettest;

namespace {

// Sets SIGPIPE to its default action (which ends the process) while it lives.
class DefaultSigpipe {
public:
    DefaultSigpipe()
    {
        struct sigaction action{};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGPIPE, &action, &previous_);
    }
    ~DefaultSigpipe() { ::sigaction(SIGPIPE, &previous_, nullptr); }

private:
    struct sigaction previous_{};
};

} // namespace

TEST(SocketWritePosix, WriteToAPeerThatWentAwayFailsWithoutSigpipe)
{
    DefaultSigpipe sigpipe;  // a SIGPIPE would end this test process
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

// The descriptor number of a closed socket stays taken while any copy of its
// handle exists, so that a thread still using a copy cannot reach a socket
// opened later under the same number.
TEST(SocketHandlePosix, ANumberIsReleasedOnlyWhenTheLastCopyGoes)
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

    // The system hands out the lowest free number: a released one would come back now.
    const int whileHeld = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_NE(whileHeld, number) << "the number was released while a copy still held it";
    ::close(whileHeld);

    handle.release();
    EXPECT_EQ(handle.descriptor(), -1);
    const int stillHeld = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_NE(stillHeld, number);
    ::close(stillHeld);

    copy.release();
    const int afterLast = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(afterLast, number) << "the last copy releases the number";
    ::close(afterLast);
}

// A read that is woken by close() must never pick up bytes of a socket that
// another thread opened meanwhile under the same descriptor number; Linux
// hands out the lowest free number at once, so a released one would be
// taken by the next socket pair.
TEST(SocketClosePosix, ClosingDuringAReadNeverDeliversTheBytesOfAReusedDescriptor)
{
    Listener listener;
    std::atomic<bool> stop{false};
    std::atomic<int> opened{0};
    std::thread opener([&] {
        // New sockets with data already waiting, created as fast as possible.
        while (!stop) {
            int ends[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
                continue;
            ::send(ends[0], "!", 1, MSG_NOSIGNAL);
            ::send(ends[1], "!", 1, MSG_NOSIGNAL);
            ++opened;
            std::this_thread::yield();
            ::close(ends[0]);
            ::close(ends[1]);
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
