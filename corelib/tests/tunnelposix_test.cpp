// The tunnel's cases that rest on Linux mechanisms: the kernel's own count
// of a socket's memory, the pipes' descriptors in /proc, and the open-files
// limit. The behaviours that every platform shares are in tunnel_test.cpp.

#include "sockettesttools.h"
#include "tunnel.h"
#include "tunneltesttools.h"

#include <atomic>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iostream>
#include <linux/sock_diag.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace sockettest;
using namespace tunneltest;

namespace {

// The descriptors this process has open.
size_t openDescriptors()
{
    size_t count = 0;
    if (DIR *directory = ::opendir("/proc/self/fd")) {
        while (const dirent *entry = ::readdir(directory))
            count += entry->d_name[0] != '.' ? 1 : 0;
        ::closedir(directory);
    }
    return count - 1;  // the directory's own
}

// Kernel memory charged to a socket: its receive queue, its send queue and
// its backlog, as SO_MEMINFO reports them.
size_t chargedMemory(const Socket &socket)
{
    const int descriptor = static_cast<int>(socket.handle());
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof info;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_MEMINFO, info, &length) != 0)
        return 0;
    return size_t(info[SK_MEMINFO_RMEM_ALLOC]) + info[SK_MEMINFO_WMEM_QUEUED] + info[SK_MEMINFO_BACKLOG];
}

} // namespace

// A sender pushing into a relay whose far side never reads fills the kernel
// buffers along the way; those of the relay's own sockets and its pipes stay
// within the relay's bound (unbounded, the kernel grows them to megabytes),
// and the relay still ends at once on stop.
TEST_P(TunnelPaths, AStalledReaderTiesUpBoundedMemoryAndStopStillEndsTheRelay)
{
    TunnelRig rig;
    RecordingListener listener;
    auto tunnel = makeTunnel(&listener, 10, rig.endpoint1, rig.endpoint2, 3000);
    ASSERT_TRUE(tunnel->start());
    std::atomic<bool> writerDone{false};
    std::thread writer([&] {
        writePattern(*rig.near1, size_t(256) * 1024 * 1024, 3);
        writerDone = true;
    });

    // Wait until the buffers have stopped filling.
    size_t held = 0;
    for (int round = 0; round < 50; ++round) {
        std::this_thread::sleep_for(milliseconds(100));
        const size_t now = chargedMemory(*rig.endpoint1) + chargedMemory(*rig.endpoint2);
        if (now == held && held > 0)
            break;
        held = now;
    }
    EXPECT_FALSE(writerDone) << "the sender should be held up";
    // Two pipes at most full, whether or not this path uses them.
    const size_t withPipes = held + 2 * SplicePipe::DefaultCapacity;
    std::cout << "stalled relay holds " << held << " bytes in its sockets' kernel buffers, " << withPipes
              << " with full pipes (bound " << Tunnel::HeldBytesBound << ")\n";
    EXPECT_GT(held, size_t(100 * 1024)) << "the relay's buffers should have filled";
    EXPECT_LE(withPipes, Tunnel::HeldBytesBound);

    const auto begin = Clock::now();
    tunnel->stop();
    EXPECT_LT(millisecondsSince(begin), 1500);
    EXPECT_EQ(listener.calls, 1);
    rig.near1->close();
    writer.join();
}

// The pipes are made with the tunnel and given back with it: four
// descriptors for each tunnel, none left behind.
TEST(Tunnel, EachTunnelHoldsFourDescriptorsForItsPipesAndReturnsThem)
{
    const size_t before = openDescriptors();
    {
        Tunnel tunnel(nullptr, 1, nullptr, nullptr);
        EXPECT_EQ(openDescriptors(), before + 4);
    }
    EXPECT_EQ(openDescriptors(), before);
}

// A bridge at its open-files limit cannot make the pipes; its tunnels still
// relay, by copying.
TEST(Tunnel, WithoutDescriptorsForItsPipesATunnelCopies)
{
    TunnelRig rig;
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    std::shared_ptr<Tunnel> tunnel;
    // A sanitizer checks a type's first uses through a pipe of its own: one
    // tunnel made while descriptors are free lets those checks pass.
    std::make_shared<Tunnel>(nullptr, 0, rig.endpoint1, rig.endpoint2).reset();
    {
        // Take every free descriptor number below a limit just above the
        // ones in use, then make the tunnel.
        rlimit tight = original;
        tight.rlim_cur = openDescriptors() + 8;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        std::vector<int> fillers;
        for (int descriptor; (descriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            fillers.push_back(descriptor);
        tunnel = std::make_shared<Tunnel>(nullptr, 1, rig.endpoint1, rig.endpoint2);
        for (const int descriptor : fillers)
            ::close(descriptor);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);
    }
    tunnel->selectTimeout = 3000;
    ASSERT_TRUE(tunnel->start());
    const size_t size = 1024 * 1024;
    std::thread writer([&] { writePattern(*rig.near1, size, 4); });
    EXPECT_EQ(readPattern(*rig.near2, size, 4), size);
    writer.join();
    EXPECT_TRUE(tunnel->copies());
    tunnel->stop();
}
