#include "exception.h"
#include "filesystem.h"
#include "platform.h"
#include "timeout.h"

#include <chrono>
#include <gtest/gtest.h>
#include <string>

// The cases that hold on every platform; those of one system are in
// platformposix_test.cpp and platformwindows_test.cpp.

TEST(Platform, UnsupportedSpecialFolderRaises)
{
    for (const int folder : {3, -1}) {
        try {
            Platform::instance().getSpecialFolder(folder);
            ADD_FAILURE() << "nothing was raised for " << folder;
        } catch (const Exception &error) {
            EXPECT_EQ(std::string(error.what()), "unsupported special folder type '" + std::to_string(folder) + "'");
        }
    }
}

TEST(Platform, SpecialFoldersEndInExactlyOneSeparator)
{
    for (const int folder : {IPlatform::ApplicationData, IPlatform::Documents, IPlatform::LocalApplicationData}) {
        const std::string path = Platform::instance().getSpecialFolder(folder);
        ASSERT_GE(path.size(), 2u) << "folder " << folder;
        EXPECT_EQ(path.back(), FileSystem::Separator) << path;
        EXPECT_NE(path[path.size() - 2], FileSystem::Separator) << path;
    }
}

TEST(Platform, SleepLastsAtLeastItsTime)
{
    const Timeout::TimePoint first = Timeout::monotonicClock();
    Platform::instance().sleep(100);
    EXPECT_GE(Timeout::monotonicClock() - first, std::chrono::milliseconds(100));
}
