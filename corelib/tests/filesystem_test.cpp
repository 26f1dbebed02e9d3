#include "filesystem.h"
#include "logcapture.h"
#include "tempdirectory.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void writeFile(const std::string &path, const std::string &content = "x")
{
    std::ofstream(path) << content;
}

} // namespace

TEST(FileSystemPaths, NormalizeAndCombine)
{
#ifdef _WIN32
    EXPECT_EQ(FileSystem::normalizePath("a/b", true), "a\\b\\");
    EXPECT_EQ(FileSystem::normalizePath("a\\b\\", true), "a\\b\\");
    EXPECT_EQ(FileSystem::normalizePath("a/b\\c", false), "a\\b\\c");
    EXPECT_EQ(FileSystem::normalizePath("", true), "");
    EXPECT_EQ(FileSystem::combine("C:/x", "/y"), "C:\\x\\y");
    EXPECT_EQ(FileSystem::combine("C:\\x\\", "\\//y\\z"), "C:\\x\\y\\z");
    EXPECT_EQ(FileSystem::combine("C:/x/", ""), "C:\\x\\");
    EXPECT_EQ(FileSystem::combine("C:/x", ""), "C:\\x");
#else
    EXPECT_EQ(FileSystem::normalizePath("a/b", true), "a/b/");
    EXPECT_EQ(FileSystem::normalizePath("a/b/", true), "a/b/");
    EXPECT_EQ(FileSystem::normalizePath("a\\b", false), "a/b");
    EXPECT_EQ(FileSystem::normalizePath("", true), "");
    EXPECT_EQ(FileSystem::combine("/x", "/y"), "/x/y");
    EXPECT_EQ(FileSystem::combine("/x/", "\\//y/z"), "/x/y/z");
    EXPECT_EQ(FileSystem::combine("/x/", ""), "/x/");
    EXPECT_EQ(FileSystem::combine("/x", ""), "/x");
#endif
}

TEST(FileSystem, CreateRemoveAndExistQuietly)
{
    TempDirectory temp;
    LogCapture capture;
    const std::string folder = temp.file("sub");
    EXPECT_FALSE(FileSystem::directoryExists(folder));
    EXPECT_TRUE(FileSystem::createDirectory(folder));
    EXPECT_TRUE(FileSystem::directoryExists(folder));
    EXPECT_FALSE(FileSystem::createDirectory(folder)) << "an existing directory is not created";
    EXPECT_FALSE(FileSystem::remove(temp.file("missing.txt")));

    writeFile(temp.file("file.txt"));
    EXPECT_FALSE(FileSystem::directoryExists(temp.file("file.txt")));
    EXPECT_TRUE(FileSystem::remove(temp.file("file.txt")));
    EXPECT_TRUE(FileSystem::remove(folder));
    EXPECT_TRUE(capture.messages().empty()) << "none of these is a failure";
}

TEST(FileSystem, EnsureDirectoryCreatesOnlyTheMissingTail)
{
    TempDirectory temp;
    const std::string deep = temp.file("a/b/c");
    EXPECT_TRUE(FileSystem::ensureDirectory(deep));
    EXPECT_TRUE(FileSystem::directoryExists(deep));
    EXPECT_TRUE(FileSystem::ensureDirectory(deep)) << "an existing directory is fine";

    EXPECT_TRUE(FileSystem::ensureDirectory("x/y", temp.path()));
    EXPECT_TRUE(FileSystem::directoryExists(temp.file("x/y")));

    writeFile(temp.file("blocker"));
    LogCapture capture;
    EXPECT_FALSE(FileSystem::ensureDirectory(temp.file("blocker/inside")));
}

TEST(FileSystem, GetFilesListsOnlyFileNames)
{
    TempDirectory temp;
    writeFile(temp.file("one.bak"));
    writeFile(temp.file("two.bak"));
    FileSystem::createDirectory(temp.file("folder"));
    std::vector<std::string> files = {"kept"};
    ASSERT_TRUE(FileSystem::getFiles(temp.path(), files));
    std::sort(files.begin() + 1, files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"kept", "one.bak", "two.bak"}));
}

TEST(FileSystem, FailuresLogOneErrorThatNamesThePath)
{
    TempDirectory temp;
    LogCapture capture;
    std::vector<std::string> files;
    const std::string missing = temp.file("nowhere");
    EXPECT_FALSE(FileSystem::getFiles(missing, files));
    ASSERT_EQ(capture.messages().size(), 1u);
    EXPECT_EQ(capture.messages()[0]->level, Error);
    EXPECT_TRUE(capture.contains(missing));

    capture.clear();
    int64_t time = 7;
    EXPECT_FALSE(FileSystem::getLastWriteTime(missing, time));
    EXPECT_EQ(time, 7);
    EXPECT_FALSE(FileSystem::rename(missing, temp.file("other")));
    EXPECT_FALSE(FileSystem::setCurrentDirectory(missing));
    EXPECT_EQ(capture.messages().size(), 3u);
}

TEST(FileSystem, RenameReplacesAndLastWriteTimeIsUnixSeconds)
{
    TempDirectory temp;
    writeFile(temp.file("from"), "new");
    writeFile(temp.file("to"), "old");
    ASSERT_TRUE(FileSystem::rename(temp.file("from"), temp.file("to")));
    std::ifstream in(temp.file("to"));
    std::string content;
    in >> content;
    EXPECT_EQ(content, "new");

    int64_t time = 0;
    ASSERT_TRUE(FileSystem::getLastWriteTime(temp.file("to"), time));
    struct stat info {};
    ASSERT_EQ(::stat(temp.file("to").c_str(), &info), 0);
    EXPECT_EQ(time, static_cast<int64_t>(info.st_mtime));
}

TEST(FileSystem, SpaceOfTheFileSystemThatHoldsAPath)
{
    TempDirectory temp;
    LogCapture capture;
    uint64_t capacity = 0;
    uint64_t available = 0;
    ASSERT_TRUE(FileSystem::getSpace(temp.path(), capacity, available));
    EXPECT_GT(capacity, 0u);
    EXPECT_LE(available, capacity);
    EXPECT_TRUE(capture.messages().empty());

    capacity = 1;
    available = 2;
    const std::string missing = temp.file("nowhere");
    EXPECT_FALSE(FileSystem::getSpace(missing, capacity, available));
    EXPECT_EQ(capacity, 1u);
    EXPECT_EQ(available, 2u);
    ASSERT_EQ(capture.messages().size(), 1u);
    EXPECT_EQ(capture.messages()[0]->level, Error);
    EXPECT_TRUE(capture.contains(missing));
}

TEST(FileSystem, SetCurrentDirectory)
{
    TempDirectory temp;
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_TRUE(FileSystem::setCurrentDirectory(temp.path()));
    writeFile("relative.txt");
    EXPECT_TRUE(FileSystem::remove(temp.file("relative.txt")));
    ASSERT_TRUE(FileSystem::setCurrentDirectory(previous));
}
