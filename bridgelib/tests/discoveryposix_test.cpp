// The discovery cases that count this process's descriptors in /proc.

#include "bridgeservice.h"
#include "discoveryfinder.h"
#include "filesystem.h"
#include "sockettesttools.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using sockettest::Loopback;

constexpr uint32_t TimingTestPrinter = 0x7F000103u;  // 127.0.1.3, as in discovery_test.cpp

} // namespace

TEST(DiscoveryFinder, RefusedRegistrationStillClosesItsSocket)
{
    auto openDescriptors = [] {
        std::vector<std::string> entries;
        FileSystem::getFiles("/proc/self/fd", entries);
        return entries.size();
    };
    BridgeService stopped;  // not running: it refuses to register sockets
    const size_t before = openDescriptors();
    for (int i = 0; i < 20; ++i) {
        DiscoveryFinder finder(&stopped, Loopback, TimingTestPrinter);
        ASSERT_TRUE(finder.start());
        finder.stop();
    }
    EXPECT_EQ(openDescriptors(), before) << "every pass closed its socket";
}
