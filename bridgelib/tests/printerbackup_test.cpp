#include "backupreader.h"
#include "fakeprinter.h"
#include "filesystem.h"
#include "littleendian.h"
#include "logcapture.h"
#include "remoteprinter.h"
#include "servicetesttools.h"
#include "sockettesttools.h"
#include "printerbackuptools.h"
#include "tempdirectory.h"
#include "testservice.h"

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem.hpp>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <vector>

using namespace sockettest;
using namespace printerbackuptest;
namespace fs = boost::filesystem;
namespace pt = boost::posix_time;


TEST(BackupReader, SizeAndContentArriveInPiecesAndEveryEndIsTold)
{
    // A printer's stream served in pieces of at most `piece` bytes, then
    // ending as `end` says (0 timed out, -1 closed, -2 failed).
    struct Stream {
        std::string bytes;
        size_t piece;
        int end;
        size_t offset = 0;
        int read(unsigned char *buffer, uint32_t size, bool &endOfStream)
        {
            if (offset == bytes.size()) {
                endOfStream = end == -1;
                return end < 0 ? -1 : 0;
            }
            const size_t count = std::min({size_t(size), piece, bytes.size() - offset});
            std::memcpy(buffer, bytes.data() + offset, count);
            offset += count;
            return static_cast<int>(count);
        }
    };
    auto run = [](Stream &stream, uint32_t &size, std::string &content) {
        BackupReader reader([&](unsigned char *buffer, uint32_t wanted, bool &endOfStream) {
            return stream.read(buffer, wanted, endOfStream);
        });
        const BackupReader::Result sizeResult = reader.readSize(size);
        if (sizeResult != BackupReader::Result::Complete)
            return std::make_pair(sizeResult, reader.count());
        const BackupReader::Result result = reader.readContent(size, [&](const unsigned char *bytes, size_t length) {
            content.append(reinterpret_cast<const char *>(bytes), length);
            return content.size() < 100000;
        });
        return std::make_pair(result, reader.count());
    };
    using R = BackupReader::Result;
    const std::string large = servicetest::pattern(3 * BackupReader::ChunkSize + 5, 3);
    {
        Stream stream{StatusConnection::answer(static_cast<uint32_t>(large.size()), large), 1 << 20, 0};
        uint32_t size = 0;
        std::string content;
        EXPECT_EQ(run(stream, size, content), std::make_pair(R::Complete, uint32_t(large.size())));
        EXPECT_EQ(content, large);
    }
    {
        Stream stream{StatusConnection::answer(5, "hello") + "next", 1, 0};
        uint32_t size = 0;
        std::string content;
        EXPECT_EQ(run(stream, size, content), std::make_pair(R::Complete, 5u)) << "the size field byte by byte";
        EXPECT_EQ(content, "hello");
        EXPECT_EQ(stream.offset, 9u) << "nothing beyond the backup is read";
    }
    for (const auto &[end, expected] : {std::make_pair(0, R::TimedOut), std::make_pair(-1, R::Ended),
                                        std::make_pair(-2, R::Failed)}) {
        Stream cutSize{std::string("\x05\x00", 2), 7, end};
        uint32_t size = 0;
        std::string content;
        EXPECT_EQ(run(cutSize, size, content), std::make_pair(expected, 2u));
        Stream cutContent{StatusConnection::answer(10, "abc"), 7, end};
        EXPECT_EQ(run(cutContent, size, content), std::make_pair(expected, 3u));
    }
    {
        const std::string huge = servicetest::pattern(100005, 1);
        Stream stream{StatusConnection::answer(static_cast<uint32_t>(huge.size()), huge), 1 << 20, 0};
        uint32_t size = 0;
        std::string content;
        EXPECT_EQ(run(stream, size, content).first, R::NotStored) << "a refused piece ends the receive";
    }
}

TEST(BackupTimeStamp, UtcDigitsWithMillisecondsOnlyWhenThereAreAny)
{
    EXPECT_EQ(RemotePrinter::backupTimeStamp(pt::time_from_string("2024-02-29 13:05:09.025")), "20240229130509.25");
    EXPECT_EQ(RemotePrinter::backupTimeStamp(pt::time_from_string("2024-02-29 13:05:09.250")), "20240229130509.250");
    EXPECT_EQ(RemotePrinter::backupTimeStamp(pt::time_from_string("2024-02-29 13:05:09.000")), "20240229130509");
    EXPECT_EQ(RemotePrinter::backupTimeStamp(pt::time_from_string("2024-01-02 03:04:05.001")), "20240102030405.1");
    EXPECT_EQ(RemotePrinter::backupTimeStamp(pt::time_from_string("2023-12-31 23:59:59.999999")),
              "20231231235959.999") << "sub-millisecond digits are cut, not rounded";
    EXPECT_EQ(RemotePrinter::backupTimeStamp(pt::time_from_string("2024-02-29 13:05:09.000999")), "20240229130509")
        << "less than a millisecond counts as none";
}

TEST(BackupTimeStamp, AlternateModelsByTheirModelText)
{
    EXPECT_TRUE(RemotePrinter::isAlternateModel("MOZJV 300"));
    EXPECT_TRUE(RemotePrinter::isAlternateModel("Office MoZjV"));
    EXPECT_FALSE(RemotePrinter::isAlternateModel("MOZ JV"));
    EXPECT_FALSE(RemotePrinter::isAlternateModel(""));
}

TEST_F(PrinterBackup, StoresTheContentExactlyUnderItsUtcName)
{
    const TimeZone farFromUtc("XYZ-5:45");  // local time is UTC+5:45
    StatusConnection connection;
    const std::string content = pattern(5 * 64 * 1024 + 12345);
    auto sent = connection.send(StatusConnection::answer(static_cast<uint32_t>(content.size()), content), false);
    const pt::ptime before = pt::microsec_clock::universal_time();
    ASSERT_TRUE(backup(connection, "Lab:A/B"));
    const pt::ptime after = pt::microsec_clock::universal_time();
    sent.get();

    const std::vector<std::string> files = filesIn(folder);
    ASSERT_EQ(files.size(), 1u);
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(files[0], parts, std::regex(R"(Backup-Lab_A_B-(\d{14})(?:\.([1-9]\d{0,2}))?\.wvtb)")))
        << files[0];
    const std::string digits = parts[1];
    auto field = [&](size_t at, size_t length) { return std::stoi(digits.substr(at, length)); };
    const pt::ptime begun(boost::gregorian::date(field(0, 4), field(4, 2), field(6, 2)),
                          pt::hours(field(8, 2)) + pt::minutes(field(10, 2)) + pt::seconds(field(12, 2)) +
                              pt::milliseconds(parts[2].matched ? std::stoi(parts[2]) : 0));
    EXPECT_GE(begun, before - pt::milliseconds(1)) << files[0];
    EXPECT_LE(begun, after) << files[0];

    EXPECT_TRUE(readFile(backups.file(files[0])) == content) << "the stored bytes differ from the printer's";
    EXPECT_TRUE(capture.contains("Backup of printer 'Lab:A/B' is starting..."));
    EXPECT_TRUE(capture.contains(
        formatString("Backup of printer 'Lab:A/B' completed: file '%s' saved", backups.file(files[0]).c_str())));
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(connection.receivedByPrinter(), std::string(1, '\x03')) << "one TQ_BACKUP_CMD byte and nothing else";
}

TEST_F(PrinterBackup, AModelContainingMozjvGetsTheZjvExtension)
{
    StatusConnection connection;
    connection.send(StatusConnection::answer(1, "Z"), false).get();
    ASSERT_TRUE(backup(connection, "Lab", "Office MOZJV 2"));
    const std::vector<std::string> files = filesIn(folder);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0], std::regex(R"(Backup-Lab-\d{14}(\.\d{1,3})?\.zjv)"))) << files[0];
    EXPECT_EQ(readFile(backups.file(files[0])), "Z");
}

TEST_F(PrinterBackup, SizesOutsideOneByteToOneGibibyteAreRefused)
{
    for (const uint32_t size : {0u, 1073741825u, 4294967295u}) {
        SCOPED_TRACE(size);
        StatusConnection connection;
        connection.send(StatusConnection::answer(size, "abc"), false).get();
        EXPECT_FALSE(backup(connection));
        EXPECT_TRUE(capture.contains(
            formatString("Backup of printer 'Lab' failed: got invalid backup's size of '%u' bytes", size)));
        EXPECT_TRUE(filesIn(folder).empty());
    }
    {
        SCOPED_TRACE("exactly 1 GiB is taken and its content awaited");
        StatusConnection connection;
        connection.send(StatusConnection::answer(1073741824u, "abc"), true).get();
        EXPECT_FALSE(backup(connection));
        EXPECT_FALSE(capture.contains("got invalid backup's size of '1073741824' bytes"));
        EXPECT_TRUE(capture.contains(
            "Failed to receive backup content of printer 'Lab': got '3' bytes of '1073741824' bytes"));
        EXPECT_TRUE(filesIn(folder).empty());
    }
    EXPECT_TRUE(errors.empty());
}

TEST_F(PrinterBackup, ContentOrSizeCutShortLeavesNoFile)
{
    struct Case {
        const char *what;
        std::string bytes;
        const char *text;
    };
    const Case cases[] = {
        {"the size cut short", std::string("\x10\x00", 2), "Failed to receive backup size of printer 'Lab': got 2 bytes"},
        {"no size at all", std::string(), "Failed to receive backup size of printer 'Lab': got 0 bytes"},
        {"content cut short", StatusConnection::answer(1000, pattern(300)),
         "Failed to receive backup content of printer 'Lab': got '300' bytes of '1000' bytes"},
        {"content cut short after several chunks", StatusConnection::answer(200000, pattern(150000)),
         "Failed to receive backup content of printer 'Lab': got '150000' bytes of '200000' bytes"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        capture.clear();
        StatusConnection connection;
        auto sent = connection.send(test.bytes, true);
        EXPECT_FALSE(backup(connection));
        sent.get();
        EXPECT_TRUE(capture.contains(test.text));
        EXPECT_TRUE(filesIn(folder).empty()) << "neither the backup nor its tmp file may stay";
        EXPECT_FALSE(capture.contains("Failed to remove invalid backup file"));
    }
    EXPECT_TRUE(errors.empty()) << "a failed transfer is not the user's business";
}

TEST_F(PrinterBackup, SilentPrinterTimesOutAndLeavesNoFile)
{
    printer.setBackupReceiveTimeout(100);
    {
        SCOPED_TRACE("silent before the size");
        StatusConnection connection;
        EXPECT_FALSE(backup(connection));
        EXPECT_TRUE(capture.contains("Failed to receive backup size of printer 'Lab': got 0 bytes"));
    }
    {
        SCOPED_TRACE("silent within the content");
        StatusConnection connection;
        connection.send(StatusConnection::answer(1000, pattern(10)), false).get();
        EXPECT_FALSE(backup(connection));
        EXPECT_TRUE(capture.contains("Failed to receive backup content of printer 'Lab': got '10' bytes of '1000' bytes"));
        EXPECT_TRUE(filesIn(folder).empty());
    }
}

TEST_F(PrinterBackup, ConnectionClosedUnderARunningBackupLeavesNoFile)
{
    StatusConnection connection;
    connection.send(StatusConnection::answer(1000, pattern(10)), false).get();
    // Closed from another thread, as a stopping service does, once the
    // temporary file shows that the content is awaited.
    auto closer = std::async(std::launch::async, [&] {
        const bool awaited = eventually([&] { return !filesIn(folder).empty(); });
        connection.bridge->close();
        return awaited;
    });
    EXPECT_FALSE(backup(connection));
    EXPECT_TRUE(closer.get()) << "no temporary file appeared while the content was awaited";
    const auto message = messageStartingWith(capture, "Failed to receive backup content of printer 'Lab': ");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->text.find("got '"), std::string::npos) << "a failed read is not a short content: "
                                                              << message->text;
    EXPECT_TRUE(filesIn(folder).empty());
}

TEST_F(PrinterBackup, FolderThatCannotBeWrittenIsAnErrorForTheUser)
{
    const std::string missing = backups.file("missing");
    StatusConnection connection;
    connection.send(StatusConnection::answer(10, pattern(10)), false).get();
    EXPECT_FALSE(printer.createBackup(connection.bridge, "Lab", "LabJet", missing, "Backup-Lab"));

    const auto message = messageStartingWith(capture, "Backup of printer 'Lab' failed: cannot create file '");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->level, Error);
    // The folder's path and the system's separator as literal text: on
    // Windows they hold backslashes.
    const auto literal = [](const std::string &text) {
        return std::regex_replace(text, std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)");
    };
    const std::string folderText = literal(missing + FileSystem::Separator);
    EXPECT_TRUE(std::regex_match(message->text,
                                 std::regex("Backup of printer 'Lab' failed: cannot create file '" + folderText +
                                            R"(Backup-Lab-\d{14}(\.\d{1,3})?\.tmp')")))
        << message->text;
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], message->text);
    EXPECT_FALSE(fs::exists(missing));
}

TEST_F(PrinterBackup, RenameFailureKeepsTheTemporaryFileAndStillSucceeds)
{
    StatusConnection connection;
    const std::string content = pattern(5000);
    std::string finalPath;
    // The printer holds the content back until the temporary file exists,
    // then puts a directory where the backup's final name would go.
    auto printerSide = std::async(std::launch::async, [&] {
        char command = 0;
        connection.printer->read(&command, 1, true);
        const std::string size = StatusConnection::answer(static_cast<uint32_t>(content.size()), "");
        connection.printer->write(size.data(), static_cast<uint32_t>(size.size()));
        std::vector<std::string> files;
        eventually([&] { return !(files = filesIn(folder)).empty(); });
        if (files.size() == 1 && fs::path(files[0]).extension() == ".tmp") {
            finalPath = backups.file(fs::path(files[0]).stem().string() + ".wvtb");
            fs::create_directories(fs::path(finalPath) / "occupied");
        }
        connection.printer->write(content.data(), static_cast<uint32_t>(content.size()));
    });
    EXPECT_TRUE(backup(connection));
    printerSide.get();
    ASSERT_FALSE(finalPath.empty()) << "no temporary file appeared";

    const std::string temporaryPath = finalPath.substr(0, finalPath.size() - 4) + "tmp";
    const std::string text =
        formatString("Failed to rename backup file '%s' of printer 'Lab' to '%s'", temporaryPath.c_str(), finalPath.c_str());
    const auto message = messageStartingWith(capture, text);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->level, Warning);
    EXPECT_EQ(errors, std::vector<std::string>{text});
    EXPECT_TRUE(readFile(temporaryPath) == content) << "the complete content stays under the temporary name";
}

TEST(PrinterBackupNotification, StoredBackupIsAnnouncedUnlessQuiet)
{
    for (const char *quiet : {"true", "false"}) {
        SCOPED_TRACE(std::string("quiet ") + quiet);
        TestService service({"--quiet", quiet});
        RemotePrinter printer(PrinterAddress, true, false, &service);
        TempDirectory backups;
        std::vector<std::string> announced;
        boost::signals2::scoped_connection connected =
            service.informationMessage.connect([&](const std::string &text) { announced.push_back(text); });
        StatusConnection connection;
        connection.send(StatusConnection::answer(3, "abc"), false).get();
        ASSERT_TRUE(printer.createBackup(connection.bridge, "Lab", "LabJet", backups.path(), "Backup-Lab"));
        const std::vector<std::string> files = filesIn(backups.path());
        ASSERT_EQ(files.size(), 1u);
        const std::string text =
            formatString("Backup of printer 'Lab' completed: file '%s' saved", backups.file(files[0]).c_str());
        EXPECT_EQ(announced, std::string(quiet) == "true" ? std::vector<std::string>{} : std::vector<std::string>{text});
    }
}

namespace {

// A backup folder with files of given names and ages.
class BackupFolder {
public:
    // Creates `name` last written `age` ago.
    void add(const std::string &name, const pt::time_duration &age)
    {
        const std::string path = directory_.file(name);
        writeFile(path, name);
        fs::last_write_time(fs::path(path), std::time(nullptr) - static_cast<std::time_t>(age.total_seconds()));
    }
    void prune() const { RemotePrinter::deleteOldBackups("Lab", directory_.path(), "Backup-Lab", pt::hours(168), 5); }
    std::vector<std::string> files() const { return filesIn(directory_.path()); }
    std::string path(const std::string &name) const { return directory_.file(name); }

private:
    TempDirectory directory_;
};

const pt::time_duration Old = pt::hours(24 * 8);
const pt::time_duration Young = pt::hours(24 * 7 - 1);

// Old files that are not this printer's backups.
const std::vector<std::string> Strangers = {
    "Backup-Lab-20231201000000.tmp",       // still being written, or left by a crash
    "Backup-Other-20231201000000.wvtb",    // another printer
    "Old Backup-Lab-20231201000000.wvtb",  // the prefix further in
    "Backup-Lab2-20231201000000.wvtb",     // a printer whose name only begins like this one's
    "Backup-Lab-20231201000000.wvtb.txt",  // another kind of file
    "Backup-Lab-notes.wvtb",               // no time stamp
};

} // namespace

TEST(BackupRetention, OldestNamesGoWhileMoreThanTheMinimumRemain)
{
    LogCapture capture;
    BackupFolder folder;
    for (const std::string &name : Strangers)
        folder.add(name, Old);
    // Six old backups, written in another order than their names say, and
    // two younger than 7 days.
    folder.add("Backup-Lab-20240101000001.wvtb", pt::hours(24 * 9));
    folder.add("Backup-Lab-20240101000002.wvtb", pt::hours(24 * 30));
    folder.add("Backup-Lab-20240101000003.250.wvtb", Old);
    folder.add("Backup-Lab-20240101000004.wvtb", pt::hours(24 * 40));
    folder.add("Backup-Lab-20240101000005.wvtb", Old);
    folder.add("Backup-Lab-20240101000006.wvtb", Old);
    folder.add("Backup-Lab-20240101000007.wvtb", Young);
    folder.add("Backup-Lab-20240101000008.wvtb", pt::hours(1));
    folder.prune();

    std::vector<std::string> expected = Strangers;
    for (const char *kept : {"Backup-Lab-20240101000004.wvtb", "Backup-Lab-20240101000005.wvtb",
                             "Backup-Lab-20240101000006.wvtb", "Backup-Lab-20240101000007.wvtb",
                             "Backup-Lab-20240101000008.wvtb"})
        expected.push_back(kept);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(folder.files(), expected);
    for (const char *removed :
         {"Backup-Lab-20240101000001.wvtb", "Backup-Lab-20240101000002.wvtb", "Backup-Lab-20240101000003.250.wvtb"})
        EXPECT_TRUE(capture.contains(formatString("Backup file '%s' of printer 'Lab' removed", folder.path(removed).c_str())))
            << removed;
    EXPECT_TRUE(capture.contains("Removed 3 old backup(s) of printer 'Lab'..."));
}

TEST(BackupRetention, WhatCountsAsABackupOfThePrinter)
{
    LogCapture capture;
    BackupFolder folder;
    for (const std::string &name : Strangers)
        folder.add(name, Old);
    // Five old backups, whatever the case of their prefix and extension, are
    // all kept: the strangers do not make them more than five.
    const std::vector<std::string> backups = {"BACKUP-LAB-20240101000004.zjv", "Backup-Lab-20240101000002.WVTB",
                                              "Backup-Lab-20240101000005.250.Zjv", "backup-lab-20240101000003.wvtb",
                                              "Backup-Lab-20240101000001.wvtb"};
    for (const std::string &name : backups)
        folder.add(name, Old);
    const std::vector<std::string> before = folder.files();
    folder.prune();
    EXPECT_EQ(folder.files(), before);
    EXPECT_TRUE(capture.contains("No old backup of printer 'Lab' removed"));

    // A sixth makes each of them count: the lowest name goes.
    folder.add("Backup-Lab-20240101000006.wvtb", Old);
    folder.prune();
    std::vector<std::string> expected = before;
    expected.push_back("Backup-Lab-20240101000006.wvtb");
    expected.erase(std::find(expected.begin(), expected.end(), "BACKUP-LAB-20240101000004.zjv"));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(folder.files(), expected);
}

TEST(BackupRetention, FolderThatCannotBeListedRemovesNothing)
{
    LogCapture capture;
    TempDirectory directory;
    RemotePrinter::deleteOldBackups("Lab", directory.file("missing"), "Backup-Lab", pt::hours(168), 5);
    EXPECT_TRUE(capture.contains("No old backup of printer 'Lab' removed"));
}

TEST(BackupSchedule, NewestBackupTimeComesFromTheNamesOfThePrintersCompletedBackups)
{
    LogCapture capture;
    TempDirectory directory;
    pt::ptime newest;
    EXPECT_FALSE(RemotePrinter::newestBackupTime(directory.path(), "Backup-Lab", newest)) << "an empty folder";
    for (const std::string &name : Strangers)
        writeFile(directory.file(name), name);
    // Names that look like time stamps but name no time, and files of
    // this printer that are not completed backups, all newer than its own.
    for (const char *name : {"Backup-Lab-20241301000000.wvtb", "Backup-Lab-20240230000000.wvtb",
                             "Backup-Lab-20240101250000.wvtb", "Backup-Lab-20300101000000.tmp",
                             "Backup-Lab2-20300101000000.wvtb"})
        writeFile(directory.file(name), name);
    EXPECT_FALSE(RemotePrinter::newestBackupTime(directory.path(), "Backup-Lab", newest))
        << "neither strangers nor names without a time count";

    // Written in another order than their names: the name decides, not the
    // file's time, and the milliseconds count.
    writeFile(directory.file("backup-lab-20240229130509.25.WVTB"), "newest");
    writeFile(directory.file("Backup-Lab-20240229130509.zjv"), "older by 25 ms");
    writeFile(directory.file("Backup-Lab-20231231235959.999.wvtb"), "older");
    ASSERT_TRUE(RemotePrinter::newestBackupTime(directory.path(), "Backup-Lab", newest));
    EXPECT_EQ(newest, pt::time_from_string("2024-02-29 13:05:09.025"));
    EXPECT_FALSE(RemotePrinter::newestBackupTime(directory.file("missing"), "Backup-Lab", newest));
}

TEST(BackupSchedule, ReserveIsFivePercentAndNeverLessThan256MiB)
{
    const uint64_t MiB = uint64_t(1) << 20;
    EXPECT_EQ(RemotePrinter::backupReserve(0), 256 * MiB);
    EXPECT_EQ(RemotePrinter::backupReserve(300 * MiB), 256 * MiB);
    EXPECT_EQ(RemotePrinter::backupReserve(5120 * MiB), 256 * MiB) << "where 5 % is 256 MiB";
    EXPECT_EQ(RemotePrinter::backupReserve(5140 * MiB), 257 * MiB);
    EXPECT_EQ(RemotePrinter::backupReserve(uint64_t(2000) << 30), uint64_t(100) << 30);
    EXPECT_EQ(RemotePrinter::backupReserve(~uint64_t(0)), ~uint64_t(0) / 20) << "no overflow on the largest size";
}

namespace {

constexpr uint32_t FlappingPrinter = 0x7F000801u;   // 127.0.8.1
constexpr uint32_t RestartedPrinter = 0x7F000802u;  // 127.0.8.2

// A running service and static printers of its own, outside its registry,
// that poll every 20 ms and read a monotonic clock the test moves on.
class BackupScheduleOfAPrinter : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(service.start()); }

    std::unique_ptr<RemotePrinter> startPrinter(uint32_t address)
    {
        auto printer = std::make_unique<RemotePrinter>(address, true, false, &service);
        printer->setPollPeriod(20);
        printer->setMonotonicClock([this] { return std::chrono::steady_clock::now() + std::chrono::seconds(ahead.load()); });
        printer->startPrinterThread();
        return printer;
    }

    // The completed backups of `prefix` in the service's backup folder.
    std::vector<std::string> backupsOf(const std::string &prefix) const
    {
        std::vector<std::string> names;
        for (const std::string &name : filesIn(service.getBackupDirectory())) {
            if (name.compare(0, prefix.size() + 1, prefix + "-") == 0 && fs::path(name).extension() == ".wvtb")
                names.push_back(name);
        }
        return names;
    }

    // Waits until the fake printer has seen `count` more status connections.
    static bool reconnects(const servicetest::FakePrinter &fake, int count)
    {
        const int until = fake.statusConnections() + count;
        return eventually([&] { return fake.statusConnections() >= until; }, 30000);
    }

    LogCapture capture;
    TestService service;
    std::atomic<int64_t> ahead{0};  // seconds added to the monotonic clock
};

} // namespace

TEST_F(BackupScheduleOfAPrinter, FlappingPrinterGetsOneBackupPerPeriod)
{
    servicetest::FakePrinter fake(FlappingPrinter, "Flap", pattern(3000));
    ASSERT_TRUE(fake.listening()) << "127.0.8.1:9101 or 9102 is taken";
    fake.setFlapping(true);
    const std::unique_ptr<RemotePrinter> printer = startPrinter(FlappingPrinter);

    // The first backup comes at once, and none after any of the reconnects.
    ASSERT_TRUE(reconnects(fake, 6)) << "the bridge did not reconnect";
    EXPECT_EQ(fake.backupRequests(), 1);
    EXPECT_EQ(backupsOf("Backup-Flap").size(), 1u);

    // A period later by the monotonic clock (the wall clock has not moved)
    // the next one is due, once.
    ahead = RemotePrinter::BackupPeriodSeconds + 1;
    ASSERT_TRUE(eventually([&] { return fake.backupRequests() >= 2; }, 30000));
    ASSERT_TRUE(reconnects(fake, 6));
    EXPECT_EQ(fake.backupRequests(), 2);
    EXPECT_EQ(backupsOf("Backup-Flap").size(), 2u);
}

TEST_F(BackupScheduleOfAPrinter, RestartWithARecentBackupInTheFolderTakesNone)
{
    servicetest::FakePrinter fake(RestartedPrinter, "Again", pattern(3000));
    ASSERT_TRUE(fake.listening()) << "127.0.8.2:9101 or 9102 is taken";
    fake.setFlapping(true);
    const std::string folder = service.getBackupDirectory();
    const auto named = [](const pt::ptime &time) { return "Backup-Again-" + RemotePrinter::backupTimeStamp(time) + ".wvtb"; };
    const pt::ptime now = pt::microsec_clock::universal_time();
    struct Case {
        const char *what;
        std::vector<std::string> files;  // in the folder before the start
        int backups;                     // taken over the reconnects
    };
    const Case cases[] = {
        {"none yet: at once", {}, 1},
        {"one of an hour ago", {named(now - pt::hours(1))}, 0},
        {"the newest of an hour ago, an older one of a day", {named(now - pt::hours(24)), named(now - pt::hours(1))}, 0},
        {"one of five hours ago", {named(now - pt::hours(5))}, 1},
        {"one stamped a day ahead of the clock, which was set back", {named(now + pt::hours(24))}, 1},
        {"one stamped an hour ahead", {named(now + pt::hours(1))}, 0},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        for (const std::string &name : filesIn(folder))
            fs::remove(fs::path(folder) / name);
        for (const std::string &name : test.files)
            writeFile(FileSystem::combine(folder, name), "taken before");
        const int before = fake.backupRequests();
        {
            // The service starts again, as after a restart of the bridge.
            service.stop();
            ASSERT_TRUE(service.start());
            const std::unique_ptr<RemotePrinter> printer = startPrinter(RestartedPrinter);
            ASSERT_TRUE(reconnects(fake, 4)) << "the bridge did not reconnect";
        }
        EXPECT_EQ(fake.backupRequests() - before, test.backups);
        EXPECT_EQ(backupsOf("Backup-Again").size(), test.files.size() + static_cast<size_t>(test.backups));
    }
}
