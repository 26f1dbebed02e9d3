// The "status" option: which record it reads, the exit code of each
// situation, the table, and its answers to a missing, damaged or old record.

#include "statuscommand.h"
#include "statusfilewriter.h"
#include "filesystem.h"
#include "scopedvariable.h"
#include "tempdirectory.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace {

constexpr int64_t Now = 1765184400;

PrinterDetails printer(uint32_t address, const std::string &name, bool up)
{
    PrinterDetails details;
    details.address = address;
    details.answered = true;
    details.name = name;
    details.sessionUp = up;
    details.lastKeepAlive = up ? Now - 4 : 0;
    return details;
}

StatusRecord healthy()
{
    StatusRecord record;
    record.guid = "0f3c2a1e-5b7d-4c8e-9a6f-1d2e3f4a5b6c";
    record.pid = 77;
    record.started = Now - 3600;
    record.written = Now - 10;
    record.serverAddress = "wvt.example.test";
    record.serverPort = 52666;
    record.serverReachable = true;
    record.serverConnected = true;
    record.gatewayPort = 40123;
    record.printers.push_back(printer(0x0A000002u, "Alpha", true));
    record.printers.push_back(printer(0x0A000003u, "Back Office", true));
    record.printers[1].lastBackup = Now - 300;
    return record;
}

void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream file(path, std::ios::binary);
    file << text;
}

// Points the state folder at `directory` for the test's duration.
class StateDirectory {
public:
    explicit StateDirectory(const std::string &directory)
    {
        setEnvironmentVariable("STATE_DIRECTORY", directory.c_str());
    }
    ~StateDirectory() { setEnvironmentVariable("STATE_DIRECTORY", nullptr); }
};

int runAt(int64_t now, std::string &output)
{
    std::ostringstream out;
    const int code = StatusCommand::run(out, now);
    output = out.str();
    return code;
}

} // namespace

TEST(StatusCommand, ExitCodesFollowTheServerTheSessionsTheBackupsAndTheRecordsAge)
{
    std::string summary;
    EXPECT_EQ(StatusCommand::evaluate(healthy(), Now, summary), StatusCommand::Ok);
    EXPECT_EQ(summary, "server connected, 2 of 2 printer sessions up");

    StatusRecord none = healthy();
    none.printers.clear();
    EXPECT_EQ(StatusCommand::evaluate(none, Now, summary), StatusCommand::Ok) << "no printer, nothing down";

    StatusRecord down = healthy();
    down.printers[1].sessionUp = false;
    EXPECT_EQ(StatusCommand::evaluate(down, Now, summary), StatusCommand::Warning);
    EXPECT_EQ(summary, "server connected, 1 of 2 printer sessions up");

    StatusRecord failed = healthy();
    failed.printers[0].lastBackupFailed = true;
    EXPECT_EQ(StatusCommand::evaluate(failed, Now, summary), StatusCommand::Warning);
    EXPECT_EQ(summary, "server connected, 2 of 2 printer sessions up, 1 last backup failed");

    StatusRecord recovered = healthy();
    recovered.printers[0].failedBackups = 4;  // failed before, stored since
    EXPECT_EQ(StatusCommand::evaluate(recovered, Now, summary), StatusCommand::Ok);

    StatusRecord serverGone = down;
    serverGone.serverConnected = false;
    EXPECT_EQ(StatusCommand::evaluate(serverGone, Now, summary), StatusCommand::Critical) << "above a warning";
    EXPECT_EQ(summary, "server not connected, 1 of 2 printer sessions up");

    StatusRecord old = serverGone;
    old.written = Now - 181;
    EXPECT_EQ(StatusCommand::evaluate(old, Now, summary), StatusCommand::Unknown) << "above everything";
    EXPECT_EQ(summary, "the status record is 181 s old: the bridge is not running");
    old.written = Now - 180;
    EXPECT_EQ(StatusCommand::evaluate(old, Now, summary), StatusCommand::Critical) << "3 minutes exactly still count";

    EXPECT_EQ(StatusCommand::summaryLine(StatusCommand::Warning, "x"), "ORVEL-BRIDGE WARNING - x");
    EXPECT_EQ(StatusCommand::summaryLine(StatusCommand::Unknown, "x"), "ORVEL-BRIDGE UNKNOWN - x");
}

TEST(StatusCommand, TableShowsServerListenersAndOnePrinterPerLineWithEscapedNames)
{
    StatusRecord record = healthy();
    record.printerTunnelPort = 8080;
    record.printerTunnelAddress = 0x0A000002u;
    PrinterDetails odd = printer(0x0A000004u, "Evil\\x1B[2J", false);  // as the record holds it
    odd.failedBackups = 2;
    odd.lastBackupFailed = true;
    odd.lastBackup = Now - 7200;
    record.printers.push_back(odd);
    PrinterDetails silent;
    silent.address = 0x0A000005u;
    silent.name = std::string("raw\x1b[31m\n");  // a record edited by hand
    record.printers.push_back(silent);

    const std::string table = StatusCommand::table(record, Now);
    std::vector<std::string> lines;
    std::istringstream stream(table);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 9u) << table;
    EXPECT_EQ(lines[0], "Bridge 0f3c2a1e-5b7d-4c8e-9a6f-1d2e3f4a5b6c (process 77), started 2025-Dec-08 08:00:00 UTC; "
                        "record written 10 s ago");
    EXPECT_EQ(lines[1], "Server: wvt.example.test:52666 connected, reached directly");
    EXPECT_EQ(lines[2], "Listeners: gateway port 40123, discovery responder off, printer tunnel port 8080 to 10.0.0.2");
    EXPECT_EQ(lines[3], "Slaves: 0, gateways known: 0");
    EXPECT_EQ(lines[4], "PRINTER          ADDRESS   SESSION  KEEP-ALIVE  BACKUP");
    EXPECT_EQ(lines[5], "Alpha            10.0.0.2  up       4 s         never");
    EXPECT_EQ(lines[6], "Back Office      10.0.0.3  up       4 s         5 min");
    EXPECT_EQ(lines[7], "Evil\\x1B[2J      10.0.0.4  down     never       2 h, last one failed (2 failed)");
    EXPECT_EQ(lines[8], "raw\\x1B[31m\\x0A  10.0.0.5  down     never       never");
    for (const char c : table)
        EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << "no control character reaches the terminal";

    StatusRecord empty = healthy();
    empty.printers.clear();
    empty.serverReachable.reset();
    empty.serverConnected = false;
    const std::string short_ = StatusCommand::table(empty, Now);
    EXPECT_NE(short_.find("Server: wvt.example.test:52666 not connected, not tested yet\n"), std::string::npos) << short_;
    EXPECT_NE(short_.find("\nNo printer\n"), std::string::npos);

    StatusRecord secure = empty;
    secure.serverTls = true;
    EXPECT_NE(StatusCommand::table(secure, Now).find("not tested yet, TLS (no handshake yet)\n"), std::string::npos);
    secure.serverCertificateSubject = "CN=wvt.example.test\n";
    secure.serverCertificateExpiry = Now + 86400;
    EXPECT_NE(StatusCommand::table(secure, Now)
                  .find("not tested yet, TLS with certificate CN=wvt.example.test\\x0A expiring 2025-Dec-09 09:00:00 UTC\n"),
              std::string::npos)
        << StatusCommand::table(secure, Now);

    EXPECT_EQ(StatusCommand::age(0, Now), "never");
    EXPECT_EQ(StatusCommand::age(Now - 119, Now), "119 s");
    EXPECT_EQ(StatusCommand::age(Now - 120, Now), "2 min");
    EXPECT_EQ(StatusCommand::age(Now - 7199, Now), "119 min");
    EXPECT_EQ(StatusCommand::age(Now - 7200, Now), "2 h");
    EXPECT_EQ(StatusCommand::age(Now - 3 * 86400, Now), "3 d");
    EXPECT_EQ(StatusCommand::age(Now + 5, Now), "0 s") << "a clock set back shows no negative age";
}

TEST(StatusCommand, RunReadsTheRecordAndAnswersUnknownWithoutAWholeFreshRecord)
{
    TempDirectory folder;
    StateDirectory state(folder.path());
    const std::string path = folder.file(StatusFileWriter::RecordFileName);
    std::string output;

    EXPECT_EQ(runAt(Now, output), StatusCommand::Unknown);
    EXPECT_EQ(output, "ORVEL-BRIDGE UNKNOWN - no status record '" + path + "': is the bridge running?\n");

    StatusRecord record = healthy();
    writeFile(path, record.toJson());
    EXPECT_EQ(runAt(Now, output), StatusCommand::Ok);
    EXPECT_EQ(output.substr(0, output.find('\n')), "ORVEL-BRIDGE OK - server connected, 2 of 2 printer sessions up");
    EXPECT_EQ(output.substr(output.find('\n') + 1), StatusCommand::table(record, Now));

    EXPECT_EQ(runAt(Now + 171, output), StatusCommand::Unknown);
    EXPECT_EQ(output.substr(0, output.find('\n')),
              "ORVEL-BRIDGE UNKNOWN - the status record is 181 s old: the bridge is not running");

    const std::string json = record.toJson();
    writeFile(path, json.substr(0, json.size() / 2));
    EXPECT_EQ(runAt(Now, output), StatusCommand::Unknown);
    EXPECT_EQ(output.find("ORVEL-BRIDGE UNKNOWN - the status record '" + path + "' is damaged: not JSON: "), 0u)
        << output;

    writeFile(path, "{\"version\": 1, \"guid\": \"\\u001b[2J\"}");
    EXPECT_EQ(runAt(Now, output), StatusCommand::Unknown);
    EXPECT_NE(output.find("is damaged: the record has no \"started\""), std::string::npos) << output;
    for (const char c : output)
        EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20);
}

TEST(StatusCommand, RecordPathsAddTheSystemServicesRecordOnlyWhenNoFolderWasChosen)
{
    if (FileSystem::Separator != '/')
        GTEST_SKIP() << "the folders of a Linux system service";
    const char *saved = std::getenv("HOME");
    const std::string home = saved ? saved : "";
    setEnvironmentVariable("HOME", "/home/someone");
    setEnvironmentVariable("STATE_DIRECTORY", nullptr);
    setEnvironmentVariable("XDG_STATE_HOME", nullptr);
    EXPECT_EQ(StatusCommand::recordPaths(),
              (std::vector<std::string>{"/home/someone/.local/state/orvel-bridge/status.json",
                                        "/var/lib/orvel-bridge/status.json"}));
    setEnvironmentVariable("XDG_STATE_HOME", "/x/state");
    EXPECT_EQ(StatusCommand::recordPaths(), std::vector<std::string>{"/x/state/orvel-bridge/status.json"});
    setEnvironmentVariable("XDG_STATE_HOME", nullptr);
    setEnvironmentVariable("STATE_DIRECTORY", "/var/lib/orvel-bridge");
    EXPECT_EQ(StatusCommand::recordPaths(), std::vector<std::string>{"/var/lib/orvel-bridge/status.json"});
    setEnvironmentVariable("STATE_DIRECTORY", nullptr);
    if (saved)
        setEnvironmentVariable("HOME", home.c_str());
    else
        setEnvironmentVariable("HOME", nullptr);
}
