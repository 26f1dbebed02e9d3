#pragma once

#include "logmessage.h"

#include <atomic>
#include <memory>
#include <string>

// The console program's log output: one line per message,
// "[INFO] - 2026-Dec-07 01:12:00: Bridge service started", on standard
// output, or on standard error for ERROR and CRITICAL. When a stream is the
// systemd journal, its lines start with the journal's priority prefix ("<6>")
// so that the journal keeps each line's level. Runs inside the log manager's
// lock, which keeps lines whole.
class ConsoleSink {
public:
    // The console name of a level ("INFO"); empty outside 0..5.
    static std::string levelName(int level);
    // The line for a message, without its line end.
    static std::string line(const LogMessage &message);
    // The journal's priority prefix for a level: "<7>" for DEBUG up to "<2>"
    // for CRITICAL; empty outside 0..5.
    static std::string journalPrefix(int level);
    // Whether the descriptor is the stream that a JOURNAL_STREAM value
    // ("device:inode") names; false for a null, empty or malformed value.
    static bool isJournalStream(int descriptor, const char *journalStream);
    // Looks up once, from JOURNAL_STREAM, whether standard output and standard
    // error are the journal. Call before the sink is connected.
    static void detectJournal();
    // Writes the message's line to the stream its level belongs to.
    static void write(const std::shared_ptr<const LogMessage> &message);

private:
    // Set by detectJournal(), read by write() on any logging thread.
    static std::atomic<bool> outIsJournal_;
    static std::atomic<bool> errIsJournal_;
};
