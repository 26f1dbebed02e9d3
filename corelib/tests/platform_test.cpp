#include "exception.h"
#include "filesystem.h"
#include "platform.h"

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

TEST(Platform, TickCountFollowsSleep)
{
    // Windows' tick counter advances in steps of up to 16 ms, so a reading
    // may lag the time slept by that much.
    const uint32_t first = Platform::instance().getTickCount();
    Platform::instance().sleep(100);
    const uint32_t elapsed = Platform::instance().getTickCount() - first;
    EXPECT_GE(elapsed, 84u);
    EXPECT_LT(elapsed, 5000u);
}
