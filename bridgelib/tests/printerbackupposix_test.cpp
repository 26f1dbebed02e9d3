// The backup cases that rest on Linux mechanisms: process-wide limits on
// file size and data, and a small file system mounted in a mount namespace
// of its own, each set in a child process made with fork() so that they do
// not touch the test process.

#include "filesystem.h"
#include "printerbackuptools.h"

#include <cerrno>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace sockettest;
using namespace printerbackuptest;

namespace {

// Runs `child` in a child process, so that process-wide limits set there do
// not touch the test process, and `parent` meanwhile; returns the child's
// exit code, or -1 when it did not exit by itself.
template <typename Child, typename Parent>
int runInChild(Child child, Parent parent)
{
    const pid_t id = fork();
    if (id == 0) {
        alarm(60);  // a child that hangs dies instead
        _exit(child());
    }
    if (id < 0)
        return -1;
    parent();
    int status = 0;
    if (waitpid(id, &status, 0) != id || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace

TEST_F(PrinterBackup, FullDiskFailsTheBackupAndLeavesOlderBackupsAlone)
{
    const std::string older = backups.file("Backup-Lab-20240101000000.wvtb");
    writeFile(older, "an older backup");
    StatusConnection connection;
    const std::string content = pattern(300000);

    // The child's files may not grow beyond 100000 bytes, which the disk
    // being full looks like to the bridge.
    const int code = runInChild(
        [&] {
            connection.printer->takeHandle();  // the child's copy goes without ending the stream
            const rlimit limit{100000, 100000};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR)
                return 10;
            int failures = 0;
            if (backup(connection))
                failures |= 1;
            const std::string text = "Backup of printer 'Lab' failed: error writing file '";
            const auto message = messageStartingWith(capture, text);
            if (!message || message->level != Error)
                failures |= 2;
            if (errors.size() != 1 || errors[0].compare(0, text.size(), text) != 0)
                failures |= 4;
            return failures;
        },
        [&] {
            connection.bridge->takeHandle();
            char command = 0;
            connection.printer->read(&command, 1, true);
            const std::string answer = StatusConnection::answer(static_cast<uint32_t>(content.size()), content);
            connection.printer->write(answer.data(), static_cast<uint32_t>(answer.size()));  // fails once the child is gone
        });
    EXPECT_EQ(code, 0) << "1: true returned, 2: no Error line, 4: no errorMessage, 10: no limit";
    EXPECT_EQ(filesIn(folder), std::vector<std::string>{"Backup-Lab-20240101000000.wvtb"})
        << "no temporary file may stay";
    EXPECT_EQ(readFile(older), "an older backup");
}

TEST_F(PrinterBackup, MemoryDoesNotGrowWithTheAnnouncedSize)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' shadow memory does not fit under a data limit";
#else
    StatusConnection connection;
    const std::string content = pattern(1 << 20);
    // The child may map at most 128 MiB more than it holds: far less than
    // the 1 GiB that the printer announces.
    const int code = runInChild(
        [&] {
            connection.printer->takeHandle();
            std::ifstream status("/proc/self/status");
            std::string line;
            long dataKiB = -1;
            while (std::getline(status, line)) {
                if (line.compare(0, 7, "VmData:") == 0)
                    dataKiB = std::stol(line.substr(7));
            }
            const rlim_t bytes = static_cast<rlim_t>(dataKiB + 128 * 1024) * 1024;
            const rlimit limit{bytes, bytes};
            if (dataKiB < 0 || setrlimit(RLIMIT_DATA, &limit) != 0)
                return 77;
            void *volatile probe = std::malloc(512u << 20);
            if (probe) {
                std::free(probe);
                return 77;  // the system does not enforce the limit
            }
            int failures = 0;
            if (backup(connection))
                failures |= 1;
            if (!capture.contains(
                    "Failed to receive backup content of printer 'Lab': got '1048576' bytes of '1073741824' bytes"))
                failures |= 2;
            return failures;
        },
        [&] {
            connection.bridge->takeHandle();
            char command = 0;
            connection.printer->read(&command, 1, true);
            const std::string answer = StatusConnection::answer(1073741824u, content);
            connection.printer->write(answer.data(), static_cast<uint32_t>(answer.size()));
            connection.printer->shutdownSend();
        });
    if (code == 77)
        GTEST_SKIP() << "the data size limit is not enforced here";
    EXPECT_EQ(code, 0) << "1: true returned, 2: the content was not awaited (allocation failed?)";
    EXPECT_TRUE(filesIn(folder).empty());
#endif
}

TEST_F(PrinterBackup, BackupThatWouldNearlyFillTheDiskIsRefusedBeforeAnythingIsWritten)
{
    constexpr uint64_t MiB = uint64_t(1) << 20;
    constexpr uint32_t Oversized = 100 * MiB;  // 300 - 100 leaves less than the 256-MiB reserve
    const std::string small = pattern(1 * MiB);  // leaves 299
    StatusConnection refused;
    StatusConnection stored;
    const std::string older = backups.file("Backup-Lab-20240101000000.wvtb");

    const int code = runInChild(
        [&] {
            refused.printer->takeHandle();
            stored.printer->takeHandle();
            // A tmpfs of 300 MiB over the backup folder, seen by this process alone.
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=300m") != 0)
                return errno == EPERM || errno == EACCES ? 77 : 78;
            writeFile(older, "an older backup");
            int failures = 0;
            uint64_t capacity = 0;
            uint64_t available = 0;
            if (!FileSystem::getSpace(folder, capacity, available) || capacity != 300 * MiB || available > capacity)
                failures |= 1;
            if (backup(refused))
                failures |= 2;
            const std::string text = formatString(
                "Backup of printer 'Lab' refused: its %u bytes would leave less than %llu bytes free in '%s', "
                "which has %llu bytes free",
                Oversized, static_cast<unsigned long long>(256 * MiB), folder.c_str(),
                static_cast<unsigned long long>(available));
            const auto message = messageStartingWith(capture, text);
            if (!message || message->level != Warning || message->text != text)
                failures |= 4;
            if (errors != std::vector<std::string>{text})
                failures |= 8;
            if (filesIn(folder) != std::vector<std::string>{"Backup-Lab-20240101000000.wvtb"} ||
                readFile(older) != "an older backup")
                failures |= 16;
            // A backup that leaves the reserve free is still stored.
            if (!backup(stored) || filesIn(folder).size() != 2)
                failures |= 32;
            return failures;
        },
        [&] {
            refused.bridge->takeHandle();
            stored.bridge->takeHandle();
            char command = 0;
            refused.printer->read(&command, 1, true);
            const std::string announced = StatusConnection::answer(Oversized, "");
            refused.printer->write(announced.data(), static_cast<uint32_t>(announced.size()));
            stored.printer->read(&command, 1, true);
            const std::string answer = StatusConnection::answer(static_cast<uint32_t>(small.size()), small);
            stored.printer->write(answer.data(), static_cast<uint32_t>(answer.size()));
        });
    if (code == 77)
        GTEST_SKIP() << "mounting a tmpfs in a mount namespace of its own is not permitted here (needs CAP_SYS_ADMIN)";
    EXPECT_EQ(code, 0) << "1: the tmpfs's space misread, 2: true returned, 4: no such Warning line, "
                          "8: no such errorMessage, 16: the folder changed, 32: a small backup was not stored, "
                          "78: the mount failed";
}
