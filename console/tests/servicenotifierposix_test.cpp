#include "scopedvariable.h"
#include "servicenotifier.h"
#include "tempdirectory.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

using std::chrono::milliseconds;

namespace {

// Closes a descriptor when the test ends, however it ends.
struct Descriptor {
    explicit Descriptor(int number) : number(number) {}
    ~Descriptor()
    {
        if (number >= 0)
            close(number);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    const int number;
};

} // namespace

TEST(ServiceNotifier, WatchdogPeriodIsHalfTheManagersTimeOutForThisProcessOnly)
{
    ScopedVariable noPid("WATCHDOG_PID", nullptr);
    {
        ScopedVariable none("WATCHDOG_USEC", nullptr);
        EXPECT_EQ(ServiceNotifier::watchdogPeriod(), milliseconds(0)) << "no watchdog";
    }
    ScopedVariable usec("WATCHDOG_USEC", "3000000");
    EXPECT_EQ(ServiceNotifier::watchdogPeriod(), milliseconds(1500));
    {
        ScopedVariable self("WATCHDOG_PID", std::to_string(getpid()));
        EXPECT_EQ(ServiceNotifier::watchdogPeriod(), milliseconds(1500));
    }
    {
        ScopedVariable other("WATCHDOG_PID", std::to_string(getpid() + 1));
        EXPECT_EQ(ServiceNotifier::watchdogPeriod(), milliseconds(0)) << "the watchdog of another process";
    }
    {
        ScopedVariable bad("WATCHDOG_USEC", "soon");
        EXPECT_EQ(ServiceNotifier::watchdogPeriod(), milliseconds(0));
    }
}

TEST(ServiceNotifier, AliveSendsAWatchdogPingToTheNotifySocket)
{
    TempDirectory directory;
    const std::string path = directory.file("notify");
    const Descriptor descriptor(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int receiver = descriptor.number;
    ASSERT_GE(receiver, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof(address.sun_path));
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(bind(receiver, reinterpret_cast<const sockaddr *>(&address), sizeof(address)), 0);
    const timeval bound{10, 0};  // a send that never came must not hang the test
    setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));

    {
        ScopedVariable socketPath("NOTIFY_SOCKET", path);
        ServiceNotifier::alive();
    }
    char message[64] = {};
    const ssize_t length = recv(receiver, message, sizeof(message), 0);
    ASSERT_GT(length, 0);
    EXPECT_EQ(std::string(message, static_cast<size_t>(length)), "WATCHDOG=1");
}
