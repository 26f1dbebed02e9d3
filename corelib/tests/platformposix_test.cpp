#include "platformposix.h"
#include "scopedvariable.h"
#include "tempdirectory.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <pthread.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

IPlatform &platform()
{
    return PlatformPosix::instance();
}

} // namespace

TEST(Platform, RefusedConnectIsAnErrorWithTheSystemsText)
{
    // A port that was just bound and released refuses connections.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(listener);

    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(platform().getErrorID(1), ECONNREFUSED);
    EXPECT_EQ(platform().getErrorCode(1), IPlatform::GeneralError);
    EXPECT_EQ(platform().getErrorString(1), "#111 (Connection refused)");
    ::close(client);
}

TEST(Platform, ReceiveTimeOutIsTimedOut)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    timeval wait{0, 50000};
    ::setsockopt(pair[0], SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char byte;
    ASSERT_LT(::recv(pair[0], &byte, 1, 0), 0);
    EXPECT_EQ(platform().getErrorCode(1), IPlatform::TimedOut);
    ::close(pair[0]);
    ::close(pair[1]);
}

TEST(Platform, ErrorClasses)
{
    EXPECT_EQ(PlatformPosix::errorClassOf(0, 1), IPlatform::NoError);
    EXPECT_EQ(PlatformPosix::errorClassOf(EWOULDBLOCK, 1), IPlatform::TimedOut);
    EXPECT_EQ(PlatformPosix::errorClassOf(ETIMEDOUT, 1), IPlatform::TimedOut);
    EXPECT_EQ(PlatformPosix::errorClassOf(EINPROGRESS, 1), IPlatform::Pending);
    EXPECT_EQ(PlatformPosix::errorClassOf(EINTR, 1), IPlatform::Pending);
    EXPECT_EQ(PlatformPosix::errorClassOf(EAGAIN, 0), IPlatform::GeneralError) << "a system source knows no time-outs";
    EXPECT_EQ(PlatformPosix::errorText(99999), "") << "no text for an unknown number";
}

TEST(Platform, SpecialFoldersFollowXdgWithOneTrailingSlash)
{
    TempDirectory home;
    ScopedVariable homeVariable("HOME", home.path());
    ScopedVariable documents("XDG_DOCUMENTS_DIR", "");
    unsetenv("XDG_DOCUMENTS_DIR");
    ScopedVariable config("XDG_CONFIG_HOME", nullptr);
    ScopedVariable state("XDG_STATE_HOME", nullptr);

    EXPECT_EQ(platform().getSpecialFolder(IPlatform::Documents), home.path() + "/Documents/");
    EXPECT_EQ(platform().getSpecialFolder(IPlatform::ApplicationData), home.path() + "/.config/");
    EXPECT_EQ(platform().getSpecialFolder(IPlatform::LocalApplicationData), home.path() + "/.local/state/");

    ::mkdir(home.file(".config").c_str(), 0700);
    std::ofstream(home.file(".config/user-dirs.dirs")) << "# written by xdg-user-dirs-update\n"
                                                       << "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n";
    EXPECT_EQ(platform().getSpecialFolder(IPlatform::Documents), home.path() + "/Dokumente/");

    setenv("XDG_CONFIG_HOME", home.file("elsewhere").c_str(), 1);
    EXPECT_EQ(platform().getSpecialFolder(IPlatform::ApplicationData), home.path() + "/elsewhere/");

    setenv("XDG_STATE_HOME", "relative/state", 1);
    EXPECT_EQ(platform().getSpecialFolder(IPlatform::LocalApplicationData), home.path() + "/.local/state/")
        << "a relative value counts as none";
    setenv("XDG_STATE_HOME", home.file("state").c_str(), 1);
    EXPECT_EQ(platform().getSpecialFolder(IPlatform::LocalApplicationData), home.path() + "/state/");
}

TEST(Platform, ThreadNameIsCutToFifteenCharacters)
{
    std::string seen;
    std::thread worker([&] {
        platform().setThreadName("class BridgeService", nullptr);
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        seen = name;
    });
    worker.join();
    EXPECT_EQ(seen, "class BridgeSer") << "cut to the 15 characters Linux allows";
}

TEST(Platform, ProcessesCanBeListedEndedAndAwaited)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl("/bin/sleep", "sleep", "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    bool listed = false;
    for (int attempt = 0; attempt < 100 && !listed; ++attempt) {
        for (const auto &process : platform().listProcesses())
            listed |= process.id == child && process.image.find("sleep") != std::string::npos;
        if (!listed)
            platform().sleep(10);
    }
    EXPECT_TRUE(listed);
    for (const auto &process : platform().listProcesses())
        EXPECT_NE(process.id, static_cast<int>(getpid())) << "the own process is never listed";

    EXPECT_FALSE(platform().waitForProcessEnd(child, 50));
    EXPECT_TRUE(platform().terminateProcess(child));
    EXPECT_TRUE(platform().waitForProcessEnd(child, 5000));
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_FALSE(platform().terminateProcess(static_cast<int>(getpid())));
}

TEST(Platform, InitializeRaisesTheOpenFilesLimitToTheHardLimit)
{
    // In a child, so that the lowered limit does not stay with the test process.
    const pid_t child = fork();
    if (child == 0) {
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);
        if (files.rlim_max < 64)
            _exit(3);
        files.rlim_cur = 64;
        setrlimit(RLIMIT_NOFILE, &files);
        PlatformPosix::instance().initialize();
        rlimit raised{};
        getrlimit(RLIMIT_NOFILE, &raised);
        _exit(raised.rlim_cur == files.rlim_max ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PlatformPosix, NamesTheSystemAndTheMachine)
{
    // Sent to the server in every registration record.
    const std::string name = PlatformPosix::instance().getPlatformName();
    EXPECT_EQ(name.rfind("Linux (", 0), 0u) << name;
    EXPECT_EQ(name.back(), ')');
    EXPECT_GT(name.size(), std::string("Linux ()").size());
}
