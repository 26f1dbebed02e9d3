// AtomicFile on a disk that fills up, as Linux's /dev/full shows it.
#include "atomicfile.h"
#include "filesystem.h"
#include "logcapture.h"
#include "tempdirectory.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <string>
#include <vector>

TEST(AtomicFile, FullDiskIsNotWrittenAndLeavesNoTemporaryFile)
{
    if (!boost::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full on this system";
    LogCapture capture;
    TempDirectory folder;
    const std::string path = folder.file("backup.wvtb");
    const std::string temporary = folder.file("backup.tmp");
    // The temporary file's name leads to a device on which every write fails
    // with "no space left"; small writes fail only when flushed.
    boost::filesystem::create_symlink("/dev/full", temporary);
    {
        AtomicFile file(path, temporary, AtomicFile::Durability::Synced);
        ASSERT_TRUE(file.isOpen());
        file.write("small", 5);
        EXPECT_EQ(file.commit(), AtomicFile::Result::NotWritten);
        EXPECT_TRUE(file.discard());
    }
    EXPECT_FALSE(boost::filesystem::exists(boost::filesystem::symlink_status(temporary)));
    EXPECT_FALSE(boost::filesystem::exists(path));
    EXPECT_TRUE(boost::filesystem::exists("/dev/full")) << "the link went, not what it led to";

    boost::filesystem::create_symlink("/dev/full", temporary);
    {
        AtomicFile file(path, temporary, AtomicFile::Durability::Cached);
        const std::string large(1 << 20, 'x');
        EXPECT_FALSE(file.write(large.data(), large.size())) << "a write larger than the buffer fails at once";
        EXPECT_EQ(file.commit(), AtomicFile::Result::NotWritten);
    }
    std::vector<std::string> files;
    ASSERT_TRUE(FileSystem::getFiles(folder.path(), files));
    EXPECT_TRUE(files.empty());
}
