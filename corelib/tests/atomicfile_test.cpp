// AtomicFile: whole files replaced, content that arrives in pieces, and no
// temporary file left by any failure.
#include "atomicfile.h"
#include "filesystem.h"
#include "logcapture.h"
#include "tempdirectory.h"

#include <algorithm>
#include <boost/filesystem.hpp>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string readFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> filesIn(const std::string &folder)
{
    std::vector<std::string> files;
    FileSystem::getFiles(folder, files);
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

TEST(AtomicFile, ReplaceSwapsWholeFilesAndLeavesOnlyTheFile)
{
    TempDirectory folder;
    const std::string path = folder.file("status.json");
    for (const auto durability : {AtomicFile::Durability::Cached, AtomicFile::Durability::Synced}) {
        ASSERT_TRUE(AtomicFile::replace(path, "first, and longer", durability));
        EXPECT_EQ(readFile(path), "first, and longer");
        ASSERT_TRUE(AtomicFile::replace(path, "second", durability));
        EXPECT_EQ(readFile(path), "second") << "the old content is gone, not overwritten in place";
        ASSERT_TRUE(AtomicFile::replace(path, "", durability));
        EXPECT_EQ(readFile(path), "");
        EXPECT_EQ(filesIn(folder.path()), std::vector<std::string>{"status.json"});
    }
}

TEST(AtomicFile, ContentInPiecesShowsOnlyUnderTheTemporaryNameUntilCommitted)
{
    TempDirectory folder;
    const std::string path = folder.file("backup.wvtb");
    const std::string temporary = folder.file("backup.tmp");
    std::ofstream(path) << "old";
    std::string content;
    for (int i = 0; i < 2000; ++i)
        content += "piece " + std::to_string(i) + "\n";
    {
        AtomicFile file(path, temporary, AtomicFile::Durability::Synced);
        ASSERT_TRUE(file.isOpen());
        EXPECT_EQ(file.temporaryPath(), temporary);
        EXPECT_TRUE(boost::filesystem::exists(temporary)) << "visible from the start";
        for (size_t offset = 0; offset < content.size(); offset += 1000)
            ASSERT_TRUE(file.write(content.data() + offset, std::min<size_t>(1000, content.size() - offset)));
        EXPECT_EQ(readFile(path), "old") << "the file is untouched while the content arrives";
        EXPECT_EQ(file.commit(), AtomicFile::Result::Replaced);
        EXPECT_TRUE(file.discard()) << "nothing to discard once committed";
    }
    EXPECT_EQ(readFile(path), content);
    EXPECT_EQ(filesIn(folder.path()), std::vector<std::string>{"backup.wvtb"});
}

TEST(AtomicFile, EveryFailureRemovesTheTemporaryFileUnlessKept)
{
    LogCapture capture;
    TempDirectory folder;
    const std::string path = folder.file("backup.wvtb");
    const std::string temporary = folder.file("backup.tmp");
    std::ofstream(path) << "old";
    {
        SCOPED_TRACE("no folder for the temporary file");
        AtomicFile file(folder.file("missing/backup.wvtb"), folder.file("missing/backup.tmp"),
                        AtomicFile::Durability::Cached);
        EXPECT_FALSE(file.isOpen());
        EXPECT_FALSE(file.write("x", 1));
        EXPECT_EQ(file.commit(), AtomicFile::Result::NotWritten);
        EXPECT_TRUE(file.discard());
        EXPECT_FALSE(AtomicFile::replace(folder.file("missing/status.json"), "x", AtomicFile::Durability::Cached));
        EXPECT_FALSE(boost::filesystem::exists(folder.file("missing")));
    }
    {
        SCOPED_TRACE("abandoned before the content was whole");
        {
            AtomicFile file(path, temporary, AtomicFile::Durability::Synced);
            ASSERT_TRUE(file.write("part", 4));
        }
        EXPECT_EQ(filesIn(folder.path()), std::vector<std::string>{"backup.wvtb"});
        EXPECT_EQ(readFile(path), "old");
    }
    {
        SCOPED_TRACE("discarded at once");
        AtomicFile file(path, temporary, AtomicFile::Durability::Cached);
        ASSERT_TRUE(file.write("part", 4));
        EXPECT_TRUE(file.discard());
        EXPECT_FALSE(boost::filesystem::exists(temporary));
        EXPECT_FALSE(file.write("more", 4)) << "nothing is written after the discard";
        EXPECT_EQ(file.commit(), AtomicFile::Result::NotWritten);
        EXPECT_EQ(readFile(path), "old");
    }
    EXPECT_TRUE(capture.messages().empty()) << "none of these made the system refuse anything";

    // A directory where the file should go: the name cannot be taken.
    const std::string occupied = folder.file("occupied");
    boost::filesystem::create_directories(boost::filesystem::path(occupied) / "inside");
    {
        SCOPED_TRACE("the rename refused, the temporary file discarded");
        {
            AtomicFile file(occupied, temporary, AtomicFile::Durability::Synced);
            ASSERT_TRUE(file.write("whole", 5));
            EXPECT_EQ(file.commit(), AtomicFile::Result::NotRenamed);
            EXPECT_EQ(readFile(temporary), "whole") << "still there for the caller to decide";
        }
        EXPECT_FALSE(boost::filesystem::exists(temporary));
        EXPECT_FALSE(AtomicFile::replace(occupied, "x", AtomicFile::Durability::Cached));
        EXPECT_EQ(filesIn(folder.path()), std::vector<std::string>{"backup.wvtb"});
        EXPECT_TRUE(capture.contains(occupied)) << "the rename's failure is logged";
    }
    {
        SCOPED_TRACE("the rename refused, the temporary file kept");
        {
            AtomicFile file(occupied, temporary, AtomicFile::Durability::Cached);
            ASSERT_TRUE(file.write("whole", 5));
            EXPECT_EQ(file.commit(), AtomicFile::Result::NotRenamed);
            file.keep();
        }
        EXPECT_EQ(readFile(temporary), "whole");
    }
}
