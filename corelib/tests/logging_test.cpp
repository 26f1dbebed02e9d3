#include "logcapture.h"
#include "logmanager.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <thread>

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;

namespace {

LogMessage messageAt(const std::string &time, int level, const std::string &function)
{
    return LogMessage("Printer '10.0.0.7' removed", level, time_from_string(time), function, "file.cpp", 7);
}

} // namespace

TEST(LogMessage, FileLineCutsTimeToWholeSeconds)
{
    const LogMessage message =
        messageAt("2024-01-05 13:45:12.999999", Info, "void BridgeService::removePrinter(unsigned int)");
    EXPECT_EQ(message.fileLine(),
              "2024-Jan-05 13:45:12 [info] Printer '10.0.0.7' removed [void BridgeService::removePrinter(unsigned int)]");
}

TEST(LogMessage, EmptySignatureLeavesNoBracketsAndTagIsPrinted)
{
    LogMessage message = messageAt("2024-01-05 13:45:12", Warning, "");
    EXPECT_EQ(message.fileLine(), "2024-Jan-05 13:45:12 [warning] Printer '10.0.0.7' removed");
    message.tag = "lab";
    EXPECT_EQ(message.fileLine(), "2024-Jan-05 13:45:12 [warning] [lab] Printer '10.0.0.7' removed");
}

TEST(LogMessage, LevelLabels)
{
    EXPECT_EQ(LogMessage::levelLabel(Debug), "[debug]");
    EXPECT_EQ(LogMessage::levelLabel(Notice), "[notice]");
    EXPECT_EQ(LogMessage::levelLabel(Critical), "[critical]");
    EXPECT_EQ(LogMessage::levelLabel(6), "[unknown]");
    EXPECT_EQ(LogMessage::levelLabel(-1), "[unknown]");
    EXPECT_EQ(messageAt("2024-01-05 13:45:12", 9, "").fileLine(),
              "2024-Jan-05 13:45:12 [unknown] Printer '10.0.0.7' removed");
}

TEST(LogMessage, SpecialTimeIsPrintedByName)
{
    const LogMessage message("x", Info, ptime(boost::posix_time::not_a_date_time), "", "", 0);
    EXPECT_EQ(message.timeText(), "not-a-date-time");
}

TEST(LogManager, LevelFilterAndSetLevelBounds)
{
    LogCapture capture(Info);
    ORVEL_LOG(Debug, "debug dropped");
    ORVEL_LOG(Notice, "notice dropped");
    ORVEL_LOG(Info, "info passes");
    ORVEL_LOG(42, "unknown level passes");
    EXPECT_FALSE(capture.contains("dropped"));
    EXPECT_TRUE(capture.contains("info passes"));
    EXPECT_TRUE(capture.contains("unknown level passes"));

    LogManager::instance().setLevel(0);
    ORVEL_LOG(Debug, "debug now passes");
    EXPECT_TRUE(capture.contains("debug now passes"));

    LogManager::instance().setLevel(7);
    EXPECT_EQ(LogManager::instance().level(), Info);
    LogManager::instance().setLevel(0);
    LogManager::instance().setLevel(-1);
    EXPECT_EQ(LogManager::instance().level(), Info);
    LogManager::instance().setLevel(5);
    EXPECT_EQ(LogManager::instance().level(), Critical);
}

TEST(LogManager, RecordCarriesCallSite)
{
    LogCapture capture;
    ORVEL_LOG(Warning, "where am I");
    const auto messages = capture.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]->level, Warning);
    EXPECT_NE(messages[0]->file.find("logging_test.cpp"), std::string::npos);
    EXPECT_GT(messages[0]->line, 0);
    EXPECT_NE(messages[0]->function.find("TestBody"), std::string::npos);
    EXPECT_EQ(messages[0]->tag, "");
}

TEST(LogManager, DeviceTextCannotForgeALineOrReachTheTerminal)
{
    LogCapture capture;
    const std::string name = "Evil\n[ERROR] - forged\x1b]0;title\x07\xff";
    ORVEL_LOG(Info, "Printer '" + name + "' added");
    const auto messages = capture.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]->text, "Printer 'Evil\\x0A[ERROR] - forged\\x1B]0;title\\x07\\xFF' added");
}

TEST(LogManager, TwoThreadsProduceWholeLines)
{
    // A sink that writes a line in two pieces would interleave if deliveries overlapped.
    std::string output;
    auto connection = LogManager::instance().onMessage.connect([&](std::shared_ptr<const LogMessage> message) {
        output += message->text.substr(0, 5);
        std::this_thread::yield();
        output += message->text.substr(5) + "\n";
    });
    auto writer = [](char c) {
        for (int i = 0; i < 500; ++i)
            ORVEL_LOG(Info, std::string(40, c));
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();
    LogManager::instance().disconnect(connection);

    size_t lines = 0;
    size_t start = 0;
    while (start < output.size()) {
        const size_t end = output.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = output.substr(start, end - start);
        ASSERT_EQ(line.size(), 40u);
        EXPECT_EQ(line.find_first_not_of(line[0]), std::string::npos) << line;
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, 1000u);
}
