// Where the status files go on Linux: the folder the service manager gives,
// else the XDG state home, else the home folder's.

#include "scopedvariable.h"
#include "statusfilewriter.h"

#include <gtest/gtest.h>

TEST(StatusFileWriter, StateDirectoryFollowsTheServiceManagerThenXdgThenHome)
{
    ScopedVariable home("HOME", "/home/someone");
    {
        ScopedVariable state("STATE_DIRECTORY", "/var/lib/orvel-bridge:/var/lib/other");
        ScopedVariable xdg("XDG_STATE_HOME", "/x/state");
        EXPECT_EQ(StatusFileWriter::stateDirectory(), "/var/lib/orvel-bridge") << "the first of several";
    }
    {
        ScopedVariable state("STATE_DIRECTORY", nullptr);
        ScopedVariable xdg("XDG_STATE_HOME", "/x/state");
        EXPECT_EQ(StatusFileWriter::stateDirectory(), "/x/state/orvel-bridge");
    }
    {
        ScopedVariable state("STATE_DIRECTORY", "");
        ScopedVariable xdg("XDG_STATE_HOME", "relative/state");
        EXPECT_EQ(StatusFileWriter::stateDirectory(), "/home/someone/.local/state/orvel-bridge")
            << "an empty or relative value counts as none";
    }
}
