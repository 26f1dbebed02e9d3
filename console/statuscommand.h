#pragma once

#include "statusrecord.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// The console program's "status" option: reads the status record that a
// running bridge keeps (StatusFileWriter), prints a short table of it and
// gives the exit code of the monitoring plugins (Nagios and its heirs):
// 0 OK, the server connected and every printer's session up; 1 WARNING, a
// printer's session down or its last backup failed; 2 CRITICAL, the server
// not connected; 3 UNKNOWN, no readable record or one older than 3 minutes
// (the bridge is not running). The first line of the output is the plugins'
// one-line summary. It only reads files and never talks to the bridge.
// Stateless; called on the main thread.
class StatusCommand {
public:
    enum ExitCode { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

    // A record older than this was left by a bridge that no longer runs
    // (the bridge rewrites it at least every 60 s).
    static constexpr int64_t MaxAgeSeconds = 180;
    // Where the system service keeps its record (systemd's StateDirectory),
    // read by other users when they have no record of their own.
    static constexpr const char *SystemStateDirectory = "/var/lib/orvel-bridge";
    // The largest record read; a bigger file is not a record.
    static constexpr size_t MaxRecordSize = 16 * 1024 * 1024;

    // Reads the first record found among recordPaths(), prints the summary
    // and the table to `out`; `now` is seconds since 1970 UTC. Returns the
    // exit code.
    static int run(std::ostream &out, int64_t now);

    // The records to look for, in order: the one in
    // StatusFileWriter::stateDirectory(), then, when neither
    // $STATE_DIRECTORY nor $XDG_STATE_HOME chose that folder, the system
    // service's record.
    static std::vector<std::string> recordPaths();

    // Reads and checks the record at `path`. False with `error` set when
    // there is none (`missing` set too) or it is not a whole record.
    static bool readRecord(const std::string &path, StatusRecord &record, std::string &error, bool &missing);

    // The exit code of a record read at `now`, and the summary's text after
    // the state word.
    static int evaluate(const StatusRecord &record, int64_t now, std::string &summary);
    // The summary line: "ORVEL-BRIDGE <STATE> - <text>".
    static std::string summaryLine(int code, const std::string &text);
    // The table: the bridge, the server, the listeners, one line per printer.
    static std::string table(const StatusRecord &record, int64_t now);
    // A time as its age at `now` ("12 s", "5 min", "3 h", "2 d"); "never" for 0.
    static std::string age(int64_t time, int64_t now);
};
