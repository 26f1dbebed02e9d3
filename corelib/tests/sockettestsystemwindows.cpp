#include "sockettestsystem.h"

#include "socket.h"
#include "platform.h"

#include <gtest/gtest.h>
#include <winsock2.h>

namespace {

// Starts the platform before the first test, as the programs do in main():
// on Windows no socket opens before Winsock has been started.
class PlatformEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(Platform::instance().initialize()) << "Winsock did not start"; }
};

// GoogleTest owns and deletes the environments it is given.
const ::testing::Environment *const platformEnvironment = ::testing::AddGlobalTestEnvironment(new PlatformEnvironment);

} // namespace

namespace sockettest {

const int ConnectionRefusedError = WSAECONNREFUSED;
const int ClosedSocketError = WSAENOTSOCK;

bool broadcastEnabled(const Socket &socket)
{
    BOOL broadcast = FALSE;
    int length = sizeof broadcast;
    const long long handle = socket.handle();
    return handle >= 0 &&
           ::getsockopt(static_cast<SOCKET>(handle), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<char *>(&broadcast),
                        &length) == 0 &&
           broadcast != FALSE;
}

} // namespace sockettest
