#include "consolesink.h"

#include <cstdlib>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

std::atomic<bool> ConsoleSink::outIsJournal_{false};
std::atomic<bool> ConsoleSink::errIsJournal_{false};

std::string ConsoleSink::levelName(int level)
{
    static const char *const names[] = {"DEBUG", "NOTICE", "INFO", "WARNING", "ERROR", "CRITICAL"};
    return level >= Debug && level <= Critical ? names[level] : "";
}

std::string ConsoleSink::line(const LogMessage &message)
{
    return "[" + levelName(message.level) + "] - " + message.timeText() + ": " + message.text;
}

std::string ConsoleSink::journalPrefix(int level)
{
    // sd-daemon priorities: 7 debug, 5 notice, 6 info, 4 warning, 3 error, 2 critical.
    static const char *const prefixes[] = {"<7>", "<5>", "<6>", "<4>", "<3>", "<2>"};
    return level >= Debug && level <= Critical ? prefixes[level] : "";
}

bool ConsoleSink::isJournalStream(int descriptor, const char *journalStream)
{
    if (!journalStream || !*journalStream)
        return false;
    char *end = nullptr;
    const unsigned long long device = std::strtoull(journalStream, &end, 10);
    if (end == journalStream || *end != ':')
        return false;
    const char *inodeText = end + 1;
    const unsigned long long inode = std::strtoull(inodeText, &end, 10);
    if (end == inodeText || *end != '\0')
        return false;
    struct stat status {};
    if (fstat(descriptor, &status) != 0)
        return false;
    return static_cast<unsigned long long>(status.st_dev) == device &&
           static_cast<unsigned long long>(status.st_ino) == inode;
}

void ConsoleSink::detectJournal()
{
    const char *journalStream = std::getenv("JOURNAL_STREAM");
    outIsJournal_ = isJournalStream(STDOUT_FILENO, journalStream);
    errIsJournal_ = isJournalStream(STDERR_FILENO, journalStream);
}

void ConsoleSink::write(const std::shared_ptr<const LogMessage> &message)
{
    const bool toError = message->level == Error || message->level == Critical;
    std::ostream &stream = toError ? std::cerr : std::cout;
    if (toError ? errIsJournal_ : outIsJournal_)
        stream << journalPrefix(message->level);
    stream << line(*message) << std::endl;
}
