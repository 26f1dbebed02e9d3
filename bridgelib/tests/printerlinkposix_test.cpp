// Ending an old bridge's processes, checked with processes made by fork()
// and exec() of a copied system program.

#include "killoldbridge.h"
#include "logcapture.h"
#include "tempdirectory.h"

#include <boost/filesystem.hpp>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(KillOldBridge, EndsOnlyProcessesOfTheOldImageAndDeletesTheImage)
{
    TempDirectory temp;
    const std::string oldImage = temp.file("Orvel-Bridge.EXE");
    const std::string otherImage = temp.file("orvel-bridge.exe.bak");
    boost::filesystem::copy_file("/bin/sleep", oldImage);
    boost::filesystem::copy_file("/bin/sleep", otherImage);

    auto spawn = [](const std::string &image) {
        const pid_t child = fork();
        if (child == 0) {
            execl(image.c_str(), image.c_str(), "30", static_cast<char *>(nullptr));
            _exit(127);
        }
        return child;
    };
    const pid_t old = spawn(oldImage);
    const pid_t other = spawn(otherImage);
    ASSERT_GT(old, 0);
    ASSERT_GT(other, 0);
    usleep(200000);  // let both exec their images

    LogCapture capture;
    EXPECT_TRUE(removeOldBridges("orvel-bridge.exe"));
    int status = 0;
    EXPECT_EQ(waitpid(old, &status, 0), old);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_FALSE(boost::filesystem::exists(oldImage));
    EXPECT_EQ(waitpid(other, &status, WNOHANG), 0) << "another image's process keeps running";
    EXPECT_TRUE(boost::filesystem::exists(otherImage));
    EXPECT_FALSE(capture.contains("Failed to remove old bridge version"));
    kill(other, SIGKILL);
    waitpid(other, &status, 0);
}
