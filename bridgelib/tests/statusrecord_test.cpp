// The status record: its JSON text and the reader's checks on damaged input,
// the metrics text and its escaping, the service's snapshot, and the writer's
// files.

#include "bridgeservice.h"
#include "filesystem.h"
#include "logcapture.h"
#include "scopedvariable.h"
#include "sockettesttools.h"
#include "statusfilewriter.h"
#include "statusrecord.h"
#include "stringutils.h"
#include "tempdirectory.h"
#include "testservice.h"

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <unistd.h>

namespace {

using sockettest::eventually;

// A record with every member set, and device texts that need escaping.
StatusRecord sampleRecord()
{
    StatusRecord record;
    record.guid = "0f3c2a1e-5b7d-4c8e-9a6f-1d2e3f4a5b6c";
    record.pid = 4242;
    record.started = 1765180800;
    record.written = 1765184400;
    record.serverAddress = "wvt.example.test";
    record.serverPort = 52666;
    record.serverReachable = true;
    record.serverConnected = true;
    record.serverTls = true;
    record.serverCertificateSubject = "CN=wvt.example.test,O=Quote \"and\" back\\slash";
    record.serverCertificateExpiry = 1796716800;
    record.gatewayPort = 40123;
    record.responder = false;
    record.printerTunnelPort = 8080;
    record.printerTunnelAddress = 0x0A000010u;
    record.slaves.push_back({"slave-guid", 0x0A000020u});
    record.gateways.push_back({"gateway-guid", 0x0A000030u, 4000});

    PrinterDetails quoted;
    quoted.address = 0x0A000010u;
    quoted.answered = true;
    quoted.name = "Q\"uote\\Back\nLine";
    quoted.model = std::string("Caf\xc3\xa9 \x80", 7);
    quoted.status = "Ready\x1b[2J";
    quoted.sessionUp = true;
    quoted.gatewayAddress = 0x0A000030u;
    quoted.gatewayPort = 4000;
    quoted.sessionsStarted = 3;
    quoted.lastKeepAlive = 1765184390;
    quoted.lastBackup = 1765181000;
    quoted.lastBackupFile = "/home/u/Documents/Orvel-Bridge/Backup-Q\"uote\\Back-20251208080000.wvtb";
    quoted.failedBackups = 2;
    quoted.lastBackupFailed = false;
    record.printers.push_back(quoted);

    PrinterDetails silent;
    silent.address = 0x0A000011u;
    silent.failedBackups = 1;
    silent.lastBackupFailed = true;
    record.printers.push_back(silent);
    return record;
}

std::string readFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The lines of `text` that begin with `start`.
std::vector<std::string> linesStartingWith(const std::string &text, const std::string &start)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (line.compare(0, start.size(), start) == 0)
            lines.push_back(line);
    }
    return lines;
}

// How many lines of `text` read exactly `wanted`.
size_t countLines(const std::string &text, const std::string &wanted)
{
    const std::vector<std::string> lines = linesStartingWith(text, wanted);
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), wanted));
}


} // namespace

TEST(StatusRecord, JsonRoundTripKeepsEveryFieldWithDeviceTextsEscapedAsInTheLog)
{
    const StatusRecord original = sampleRecord();
    const std::string json = original.toJson();
    StatusRecord read;
    std::string error;
    ASSERT_TRUE(StatusRecord::fromJson(json, read, error)) << error << "\n" << json;

    EXPECT_EQ(read.guid, original.guid);
    EXPECT_EQ(read.pid, 4242);
    EXPECT_EQ(read.started, original.started);
    EXPECT_EQ(read.written, original.written);
    EXPECT_EQ(read.serverAddress, "wvt.example.test");
    EXPECT_EQ(read.serverPort, 52666);
    EXPECT_EQ(read.serverReachable, std::optional<bool>(true));
    EXPECT_TRUE(read.serverConnected);
    EXPECT_TRUE(read.serverTls);
    EXPECT_EQ(read.serverCertificateSubject, original.serverCertificateSubject);
    EXPECT_EQ(read.serverCertificateExpiry, 1796716800);
    EXPECT_EQ(read.gatewayPort, std::optional<uint16_t>(40123));
    EXPECT_FALSE(read.responder);
    EXPECT_EQ(read.printerTunnelPort, std::optional<uint16_t>(8080));
    EXPECT_EQ(read.printerTunnelAddress, 0x0A000010u);
    ASSERT_EQ(read.slaves.size(), 1u);
    EXPECT_EQ(read.slaves[0].guid, "slave-guid");
    EXPECT_EQ(read.slaves[0].address, 0x0A000020u);
    ASSERT_EQ(read.gateways.size(), 1u);
    EXPECT_EQ(read.gateways[0].port, 4000);

    ASSERT_EQ(read.printers.size(), 2u);
    const PrinterDetails &p = read.printers[0];
    EXPECT_EQ(p.address, 0x0A000010u);
    EXPECT_TRUE(p.answered);
    EXPECT_EQ(p.name, "Q\"uote\\Back\\x0ALine") << "quotes and backslashes survive, the line end is escaped";
    EXPECT_EQ(p.name, escapeText(original.printers[0].name));
    EXPECT_EQ(p.model, "Caf\xc3\xa9 \\x80") << "valid UTF-8 kept, a stray byte escaped";
    EXPECT_EQ(p.status, "Ready\\x1B[2J");
    EXPECT_TRUE(p.sessionUp);
    EXPECT_EQ(p.gatewayAddress, 0x0A000030u);
    EXPECT_EQ(p.gatewayPort, 4000u);
    EXPECT_EQ(p.sessionsStarted, 3u);
    EXPECT_EQ(p.lastKeepAlive, 1765184390);
    EXPECT_EQ(p.lastBackup, 1765181000);
    EXPECT_EQ(p.lastBackupFile, original.printers[0].lastBackupFile);
    EXPECT_EQ(p.failedBackups, 2u);
    EXPECT_FALSE(p.lastBackupFailed);

    const PrinterDetails &q = read.printers[1];
    EXPECT_FALSE(q.answered);
    EXPECT_FALSE(q.sessionUp);
    EXPECT_EQ(q.lastKeepAlive, 0) << "never, written as null";
    EXPECT_EQ(q.lastBackup, 0);
    EXPECT_TRUE(q.lastBackupFile.empty());
    EXPECT_EQ(q.gatewayAddress, 0u);
    EXPECT_TRUE(q.lastBackupFailed);

    // No control character and no stray byte reaches the file.
    for (const char c : json)
        EXPECT_TRUE(c == '\n' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)) << int(c);
    std::string oneLine = json;
    oneLine.erase(std::remove(oneLine.begin(), oneLine.end(), '\n'), oneLine.end());
    EXPECT_EQ(escapeText(oneLine), oneLine) << "the text is valid UTF-8";

    StatusRecord empty;
    empty.guid = "g";
    ASSERT_TRUE(StatusRecord::fromJson(empty.toJson(), read, error)) << error << empty.toJson();
    EXPECT_TRUE(read.printers.empty());
    EXPECT_FALSE(read.serverReachable.has_value()) << "not tested yet stays unknown";
    EXPECT_FALSE(read.serverTls);
    EXPECT_TRUE(read.serverCertificateSubject.empty());
    EXPECT_FALSE(read.gatewayPort.has_value());
    EXPECT_FALSE(read.printerTunnelPort.has_value());
}

TEST(StatusRecord, ReaderRefusesEveryCutOfARecordAndRecordsOfTheWrongShape)
{
    const std::string json = sampleRecord().toJson();
    for (size_t length = 0; length < json.size(); ++length) {
        // White space at the end may go without harm.
        if (json.find_first_not_of(" \n", length) == std::string::npos)
            continue;
        StatusRecord read;
        read.guid = "untouched";
        std::string error;
        ASSERT_FALSE(StatusRecord::fromJson(json.substr(0, length), read, error)) << "cut at " << length;
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(read.guid, "untouched") << "a refused text changes nothing";
    }

    const std::pair<std::string, std::string> wrong[] = {
        {"", "not JSON"},
        {"[]", "is not an object"},
        {"{\"version\": 2}", "version 2"},
        {"{\"guid\": \"g\"}", "has no \"version\""},
        {"{\"version\": \"1\"}", "\"version\" that is not"},
        {"{\"version\": 1, \"guid\": \"g\", \"started\": 1, \"written\": 1, \"printers\": []}", "has no \"server\""},
        {"{\"version\": 1, \"guid\": \"g\", \"started\": 1, \"written\": 1, \"server\": {\"connected\": 1},"
         " \"printers\": []}",
         "\"connected\" that is not"},
        {"{\"version\": 1, \"guid\": \"g\", \"started\": 1, \"written\": 1, \"server\": {\"connected\": true},"
         " \"printers\": [{\"address\": \"10.0.0.300\", \"session_up\": true}]}",
         "printer 1 has a \"address\" that is not an IPv4 address"},
        {"{\"version\": 1, \"guid\": \"g\", \"started\": 1, \"written\": 1, \"server\": {\"connected\": true},"
         " \"printers\": [{\"address\": \"10.0.0.1\"}]}",
         "printer 1 has no \"session_up\""},
        {"{\"version\": 1, \"guid\": \"g\", \"started\": 1, \"written\": -5, \"server\": {\"connected\": true},"
         " \"printers\": []}",
         "\"written\" that is not"},
        {"{\"version\": 1, \"guid\": \"g\", \"started\": 1, \"written\": 9223372036854775808, \"server\": "
         "{\"connected\": true}, \"printers\": []}",
         "\"written\" that is not"},
        {"{\"version\": 1, \"guid\": \"g\", \"started\": 1.5, \"written\": 1, \"server\": {\"connected\": true},"
         " \"printers\": []}",
         "\"started\" that is not"},
        {"{\"version\": 1, \"guid\": \"\\ud800\"}", "not JSON"},
        {"{\"version\": 1} x", "not JSON"},
        // Deep nesting is read without exhausting the stack.
        {std::string(100000, '[') + std::string(100000, ']'), "is not an object"},
    };
    for (const auto &entry : wrong) {
        StatusRecord read;
        std::string error;
        EXPECT_FALSE(StatusRecord::fromJson(entry.first, read, error)) << entry.first;
        EXPECT_NE(error.find(entry.second), std::string::npos) << entry.first << " -> " << error;
    }
}

TEST(StatusRecord, MetricsEscapeLabelsAndNameEveryFamilyOnce)
{
    EXPECT_EQ(StatusRecord::escapeLabelValue("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
    EXPECT_EQ(StatusRecord::escapeLabelValue("plain text"), "plain text");

    const std::string metrics = sampleRecord().toMetrics();
    // The device's line end is escaped as in the log, then its backslash
    // (and the quote, and the name's backslash) as the format requires.
    const std::string labels = "{address=\"10.0.0.16\",name=\"Q\\\"uote\\\\Back\\\\x0ALine\"}";
    const std::string silentLabels = "{address=\"10.0.0.17\",name=\"\"}";
    const std::string expected[] = {
        "orvel_bridge_info{guid=\"0f3c2a1e-5b7d-4c8e-9a6f-1d2e3f4a5b6c\"} 1",
        "orvel_bridge_start_time_seconds 1765180800",
        "orvel_bridge_server_connected 1",
        "orvel_bridge_server_reachable 1",
        "orvel_bridge_printers 2",
        "orvel_bridge_sessions_up 1",
        "orvel_bridge_slaves 1",
        "orvel_bridge_printer_session_up" + labels + " 1",
        "orvel_bridge_printer_session_up" + silentLabels + " 0",
        "orvel_bridge_printer_last_keepalive_time_seconds" + labels + " 1765184390",
        "orvel_bridge_printer_last_backup_time_seconds" + labels + " 1765181000",
        "orvel_bridge_printer_backup_failures_total" + labels + " 2",
        "orvel_bridge_printer_backup_failures_total" + silentLabels + " 1",
        "orvel_bridge_printer_sessions_started_total" + labels + " 3",
    };
    for (const std::string &line : expected)
        EXPECT_EQ(countLines(metrics, line), 1u) << line << "\n" << metrics;
    EXPECT_TRUE(linesStartingWith(metrics, "orvel_bridge_printer_last_backup_time_seconds" + silentLabels).empty())
        << "a printer never backed up has no backup time";

    // Every sample's family has one HELP and one TYPE line before it; counters end in _total.
    std::set<std::string> typed;
    std::istringstream stream(metrics);
    for (std::string line; std::getline(stream, line);) {
        ASSERT_FALSE(line.empty());
        if (line.compare(0, 7, "# TYPE ") == 0) {
            std::istringstream words(line.substr(7));
            std::string name, type;
            words >> name >> type;
            EXPECT_TRUE(typed.insert(name).second) << "one TYPE line for " << name;
            EXPECT_EQ(type == "counter", name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0) << line;
            EXPECT_EQ(name.compare(0, 13, "orvel_bridge_"), 0) << line;
        } else if (line[0] != '#') {
            const std::string name = line.substr(0, line.find_first_of("{ "));
            EXPECT_EQ(typed.count(name), 1u) << "sample before its TYPE: " << line;
        }
    }
    EXPECT_EQ(linesStartingWith(metrics, "# HELP ").size(), typed.size());
}

TEST(StatusRecord, ServiceSnapshotHoldsItsStateAndEveryRegisteredPrinter)
{
    TestService service({"--static-printers", "127.0.7.11;127.0.7.10", "--server-address", "127.0.0.1",
                         "--server-port", "1"});
    StatusRecord before;
    service.getStatus(before);
    EXPECT_EQ(before.guid, service.getInstanceGuid());
    EXPECT_EQ(before.started, 0) << "not started yet";
    EXPECT_EQ(before.serverAddress, "127.0.0.1");
    EXPECT_EQ(before.serverPort, 1);
    EXPECT_FALSE(before.serverReachable.has_value());

    ASSERT_TRUE(service.start());
    StatusRecord record;
    ASSERT_TRUE(eventually([&] {
        record = StatusRecord();
        service.getStatus(record);
        return record.printers.size() == 2 && record.serverReachable.has_value();
    }));
    EXPECT_GT(record.started, 0);
    EXPECT_FALSE(*record.serverReachable) << "port 1 refuses";
    EXPECT_FALSE(record.serverConnected);
    EXPECT_EQ(record.printers[0].address, 0x7F00070Au) << "by address";
    EXPECT_EQ(record.printers[1].address, 0x7F00070Bu);
    for (const PrinterDetails &printer : record.printers) {
        EXPECT_FALSE(printer.answered) << "nothing answers there";
        EXPECT_FALSE(printer.sessionUp);
        EXPECT_EQ(printer.sessionsStarted, 0u);
    }
}

TEST(StatusFileWriter, WritesAtStartFollowsChangesAndRemovesItsFilesAtStop)
{
    LogCapture capture;
    TestService service;
    TempDirectory folder;
    const std::string directory = folder.file("state/orvel-bridge");  // made by the writer
    std::atomic<int64_t> now{1765184400};
    StatusFileWriter writer(service, directory, [&] { return now.load(); });
    const auto writtenAt = [&](int64_t expected) {
        StatusRecord record;
        std::string error;
        return StatusRecord::fromJson(readFile(writer.recordPath()), record, error) && record.written == expected &&
               readFile(writer.metricsPath()).find("orvel_bridge_status_time_seconds " + std::to_string(expected)) !=
                   std::string::npos;
    };

    ASSERT_TRUE(writer.start());
    ASSERT_TRUE(eventually([&] { return writtenAt(1765184400); })) << "written at start";
    StatusRecord record;
    std::string error;
    ASSERT_TRUE(StatusRecord::fromJson(readFile(writer.recordPath()), record, error)) << error;
    EXPECT_EQ(record.guid, service.getInstanceGuid());
    EXPECT_EQ(record.pid, static_cast<int64_t>(getpid()));

    EXPECT_FALSE(writer.start()) << "runs already";

    now = 1765184410;
    service.statusChanged();
    EXPECT_TRUE(eventually([&] { return writtenAt(1765184410); })) << "a change is written within moments";

    std::vector<std::string> files;
    ASSERT_TRUE(FileSystem::getFiles(directory, files));
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"orvel-bridge.prom", "status.json"})) << "no temporary file left";

    writer.stop();
    EXPECT_FALSE(boost::filesystem::exists(writer.recordPath()));
    EXPECT_FALSE(boost::filesystem::exists(writer.metricsPath()));
    service.statusChanged();  // no writer listens any more
    EXPECT_FALSE(boost::filesystem::exists(writer.recordPath()));
}

TEST(StatusFileWriter, RefreshesWithoutAChangeAndRetriesAFolderThatCouldNotBeMade)
{
    LogCapture capture;
    TestService service;
    TempDirectory folder;
    const std::string blocker = folder.file("blocker");
    std::ofstream(blocker) << "a file where the folder should be";
    std::atomic<int64_t> now{1000};
    StatusFileWriter writer(service, blocker + "/orvel-bridge", [&] { return now.load(); });
    writer.setRefreshPeriod(std::chrono::milliseconds(100));
    ASSERT_TRUE(writer.start());
    ASSERT_TRUE(eventually([&] {
        for (const auto &message : capture.messages()) {
            if (message->level == Error && message->text.find(blocker) != std::string::npos)
                return true;
        }
        return false;
    })) << "the failure is logged";
    boost::filesystem::remove(blocker);
    EXPECT_TRUE(eventually([&] { return boost::filesystem::exists(writer.recordPath()); }))
        << "written at the next refresh";
    EXPECT_TRUE(capture.waitFor("Status files written again in"));

    now = 2000;  // no change announced: only the refresh writes it
    EXPECT_TRUE(eventually([&] {
        StatusRecord record;
        std::string error;
        return StatusRecord::fromJson(readFile(writer.recordPath()), record, error) && record.written == 2000;
    }));
    writer.stop();
}
