// Where the status files go on Windows: the folder a STATE_DIRECTORY gives
// (the first of a ';' list), else "orvel-bridge" in the user's local
// application data.

#include "filesystem.h"
#include "platform.h"
#include "scopedvariable.h"
#include "statusfilewriter.h"

#include <gtest/gtest.h>

TEST(StatusFileWriter, StateDirectoryFollowsTheGivenFolderThenLocalApplicationData)
{
    {
        ScopedVariable state("STATE_DIRECTORY", "C:\\state\\bridge;D:\\other");
        EXPECT_EQ(StatusFileWriter::stateDirectory(), "C:\\state\\bridge") << "the first of several";
    }
    const std::string local = Platform::instance().getSpecialFolder(IPlatform::LocalApplicationData);
    ASSERT_FALSE(local.empty());
    for (const char *ignored : {"", "relative\\state", "\\no-drive"}) {
        ScopedVariable state("STATE_DIRECTORY", ignored);
        EXPECT_EQ(StatusFileWriter::stateDirectory(), FileSystem::combine(local, "orvel-bridge"))
            << "'" << ignored << "' counts as none";
    }
}
