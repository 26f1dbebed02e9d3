// RemotePrinter's backups: fetching one over the status connection into the
// backup folder, and pruning a printer's old backups.
#include "remoteprinter.h"

#include "atomicfile.h"
#include "backupreader.h"
#include "bridgeservice.h"
#include "filesystem.h"
#include "logmanager.h"
#include "platform.h"
#include "printerprotocol.h"
#include "socket.h"
#include "stringutils.h"

#include <algorithm>
#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cctype>
#include <functional>
#include <memory>
#include <new>
#include <set>
#include <stdexcept>
#include <vector>

namespace {

constexpr const char *Extension = "wvtb";
constexpr const char *AlternateExtension = "zjv";
constexpr const char *TemporaryExtension = "tmp";

std::string socketError()
{
    return Platform::instance().getErrorString(1);
}

// True when `fileName` is one of the backups named "<prefix>-<time stamp>.<ext>"
// (the prefix compared without regard to case, the extension "wvtb" or "zjv"
// in any case). The time stamp is checked too, so that the backups of a
// printer whose name merely begins with this printer's name (X and X2) are
// not counted as this printer's. `stamp`, when given, receives the time
// stamp's text.
bool isBackupOf(const std::string &fileName, const std::string &prefix, std::string *stamp = nullptr)
{
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos)
        return false;
    const std::string extension = boost::algorithm::to_lower_copy(fileName.substr(dot + 1));
    if (extension != Extension && extension != AlternateExtension)
        return false;
    if (dot < prefix.size() || !boost::algorithm::istarts_with(fileName, prefix))
        return false;
    // What lies between: "-" and 14 digits, then "." and 1 to 3 digits or nothing.
    const std::string between = fileName.substr(prefix.size(), dot - prefix.size());
    auto digits = [&](size_t from, size_t count) {
        for (size_t i = from; i < from + count; ++i) {
            if (!std::isdigit(static_cast<unsigned char>(between[i])))
                return false;
        }
        return true;
    };
    if (between.size() < 15 || between[0] != '-' || !digits(1, 14))
        return false;
    const size_t fraction = between.size() - 15;  // nothing, or "." and 1 to 3 digits
    if (fraction != 0 && !(fraction >= 2 && fraction <= 4 && between[15] == '.' && digits(16, fraction - 1)))
        return false;
    if (stamp)
        *stamp = between.substr(1);
    return true;
}

// The UTC time that a backup's time stamp ("YYYYMMDDhhmmss", then "." and
// the milliseconds or nothing, as isBackupOf checked it) stands for; false
// for a date or time that does not exist.
bool stampTime(const std::string &stamp, boost::posix_time::ptime &time)
{
    const auto number = [&](size_t from, size_t count) { return std::stoi(stamp.substr(from, count)); };
    const int hours = number(8, 2);
    const int minutes = number(10, 2);
    const int seconds = number(12, 2);
    if (hours > 23 || minutes > 59 || seconds > 59)
        return false;
    try {
        const boost::gregorian::date day(static_cast<unsigned short>(number(0, 4)),
                                         static_cast<unsigned short>(number(4, 2)),
                                         static_cast<unsigned short>(number(6, 2)));
        const int milliseconds = stamp.size() > 15 ? std::stoi(stamp.substr(15)) : 0;
        time = boost::posix_time::ptime(day, boost::posix_time::hours(hours) + boost::posix_time::minutes(minutes) +
                                                 boost::posix_time::seconds(seconds) +
                                                 boost::posix_time::milliseconds(milliseconds));
        return true;
    } catch (const std::out_of_range &) {
        return false;  // no such day (boost's bad year, month and day derive from it)
    }
}

int64_t secondsSince1970(const boost::posix_time::ptime &time)
{
    return (time - boost::posix_time::ptime(boost::gregorian::date(1970, 1, 1))).total_seconds();
}

} // namespace

bool RemotePrinter::newestBackupTime(const std::string &folder, const std::string &prefix,
                                     boost::posix_time::ptime &time)
{
    std::vector<std::string> files;
    if (!FileSystem::getFiles(folder, files))
        return false;
    bool found = false;
    for (const std::string &fileName : files) {
        std::string stamp;
        boost::posix_time::ptime taken;
        if (!isBackupOf(fileName, prefix, &stamp) || !stampTime(stamp, taken))
            continue;
        if (!found || taken > time)
            time = taken;
        found = true;
    }
    return found;
}

uint64_t RemotePrinter::backupReserve(uint64_t capacity)
{
    return std::max(capacity / 100 * BackupReservePercent + capacity % 100 * BackupReservePercent / 100,
                    MinimumBackupReserve);
}

bool RemotePrinter::backupDue(const std::string &name, const std::string &folder, const std::string &prefix)
{
    const std::chrono::steady_clock::time_point now = monotonicClock_();
    if (!nextBackup_) {
        // Nothing taken by this object yet: the folder tells when the last
        // backup was, by the time stamp in its name, which survives a
        // restart. One that lies more than a period ahead of the wall clock
        // says that the clock was set back since; it holds nothing back.
        nextBackup_ = now;
        boost::posix_time::ptime newest;
        if (newestBackupTime(folder, prefix, newest)) {
            const boost::posix_time::time_duration period = boost::posix_time::seconds(BackupPeriodSeconds);
            const boost::posix_time::time_duration age = boost::posix_time::microsec_clock::universal_time() - newest;
            if (age < period && age > -period) {
                const boost::posix_time::time_duration left = age.is_negative() ? period : period - age;
                nextBackup_ = now + std::chrono::microseconds(left.total_microseconds());
                ORVEL_LOG(Debug, formatString("Backup of printer '%s' not due: its newest backup, of %s UTC, is "
                                              "younger than %d hours",
                                              name.c_str(), boost::posix_time::to_simple_string(newest).c_str(),
                                              static_cast<int>(BackupPeriodSeconds / 3600)));
            }
        }
    }
    // Within the process only the monotonic clock counts, so that a clock
    // set forward or back neither hastens nor holds up the next backup.
    return now >= *nextBackup_;
}

void RemotePrinter::postponeBackups()
{
    nextBackup_ = monotonicClock_() + std::chrono::seconds(BackupPeriodSeconds);
}

bool RemotePrinter::isAlternateModel(const std::string &model)
{
    return boost::algorithm::to_lower_copy(model).find("mozjv") != std::string::npos;
}

std::string RemotePrinter::backupTimeStamp(const boost::posix_time::ptime &time)
{
    const boost::gregorian::date day = time.date();
    const boost::posix_time::time_duration clock = time.time_of_day();
    std::string stamp = formatString("%04d%02d%02d%02d%02d%02d", static_cast<int>(day.year()),
                                     static_cast<int>(day.month()), static_cast<int>(day.day()),
                                     static_cast<int>(clock.hours()), static_cast<int>(clock.minutes()),
                                     static_cast<int>(clock.seconds()));
    const int64_t microseconds =
        clock.fractional_seconds() * 1000000 / boost::posix_time::time_duration::ticks_per_second();
    const int milliseconds = static_cast<int>(microseconds / 1000);
    if (milliseconds != 0)
        stamp += formatString(".%d", milliseconds);
    return stamp;
}

bool RemotePrinter::createBackup(const std::shared_ptr<Socket> &socket, const std::string &name,
                                 const std::string &model, const std::string &folder, const std::string &prefix)
{
    ORVEL_LOG(Info, formatString("Backup of printer '%s' is starting...", name.c_str()));
    try {
        socket->receiveTimeout = backupReceiveTimeoutMs_;
        socket->applyTimeouts();
        const boost::posix_time::ptime begun = boost::posix_time::microsec_clock::universal_time();

        const unsigned char command = PrinterProtocol::TQ_BACKUP_CMD;
        if (socket->write(&command, 1) < 1) {
            ORVEL_LOG(Warning, formatString("Backup of printer '%s' failed: command failed", name.c_str()));
            return false;
        }

        BackupReader reader([&socket](unsigned char *buffer, uint32_t size, bool &endOfStream) {
            return socket->read(buffer, size, false, &endOfStream);
        });
        uint32_t size = 0;
        const BackupReader::Result sizeReceived = reader.readSize(size);
        if (sizeReceived == BackupReader::Result::Failed) {
            ORVEL_LOG(Warning, formatString("Failed to receive backup size of printer '%s': %s", name.c_str(),
                                            socketError().c_str()));
            return false;
        }
        if (sizeReceived != BackupReader::Result::Complete) {
            ORVEL_LOG(Warning, formatString("Failed to receive backup size of printer '%s': got %d bytes", name.c_str(),
                                            static_cast<int>(reader.count())));
            return false;
        }
        if (size == 0 || size > MaxBackupSize) {
            ORVEL_LOG(Warning, formatString("Backup of printer '%s' failed: got invalid backup's size of '%u' bytes",
                                            name.c_str(), size));
            return false;
        }
        // Backups must never fill the disk that the rest of the computer
        // lives on. When the free space cannot be told, the write itself
        // still fails cleanly on a full disk.
        uint64_t capacity = 0;
        uint64_t available = 0;
        if (FileSystem::getSpace(folder, capacity, available)) {
            const uint64_t reserve = backupReserve(capacity);
            if (available < reserve || available - reserve < size) {
                const std::string text =
                    formatString("Backup of printer '%s' refused: its %u bytes would leave less than %llu bytes "
                                 "free in '%s', which has %llu bytes free",
                                 name.c_str(), size, static_cast<unsigned long long>(reserve), folder.c_str(),
                                 static_cast<unsigned long long>(available));
                ORVEL_LOG(Warning, text);
                service_->errorMessage(text);
                // Asking again at the next connection would only repeat this.
                postponeBackups();
                return false;
            }
        }

        const std::string base =
            FileSystem::combine(folder, formatString("%s-%s.", prefix.c_str(), backupTimeStamp(begun).c_str()));
        const std::string temporaryPath = base + TemporaryExtension;
        const std::string finalPath = base + (isAlternateModel(model) ? AlternateExtension : Extension);

        // Flushed to the disk before it takes its name: a backup is kept for
        // the day the printer fails, which may follow a crash of this computer.
        AtomicFile file(finalPath, temporaryPath, AtomicFile::Durability::Synced);
        if (!file.isOpen()) {
            const std::string text = formatString("Backup of printer '%s' failed: cannot create file '%s'",
                                                  name.c_str(), temporaryPath.c_str());
            ORVEL_LOG(Error, text);
            service_->errorMessage(text);
            return false;
        }
        const BackupReader::Result contentReceived =
            reader.readContent(size, [&](const unsigned char *bytes, size_t length) {
                return file.write(bytes, length);
            });
        if (contentReceived == BackupReader::Result::Failed) {
            ORVEL_LOG(Warning, formatString("Failed to receive backup content of printer '%s': %s", name.c_str(),
                                            socketError().c_str()));
            return false;
        }
        if (contentReceived == BackupReader::Result::TimedOut || contentReceived == BackupReader::Result::Ended) {
            ORVEL_LOG(Warning,
                      formatString("Failed to receive backup content of printer '%s': got '%u' bytes of '%u' bytes",
                                   name.c_str(), reader.count(), size));
            return false;
        }
        const AtomicFile::Result stored =
            contentReceived == BackupReader::Result::NotStored ? AtomicFile::Result::NotWritten : file.commit();
        if (stored == AtomicFile::Result::NotWritten) {
            const std::string text = formatString("Backup of printer '%s' failed: error writing file '%s'",
                                                  name.c_str(), temporaryPath.c_str());
            ORVEL_LOG(Error, text);
            if (!file.discard())
                ORVEL_LOG(Error, formatString("Failed to remove invalid backup file '%s' of printer '%s'",
                                              temporaryPath.c_str(), name.c_str()));
            service_->errorMessage(text);
            return false;
        }
        if (stored == AtomicFile::Result::NotRenamed) {
            // The whole content is worth keeping under its temporary name.
            file.keep();
            const std::string text = formatString("Failed to rename backup file '%s' of printer '%s' to '%s'",
                                                  temporaryPath.c_str(), name.c_str(), finalPath.c_str());
            ORVEL_LOG(Warning, text);
            service_->errorMessage(text);
            noteBackup(true, temporaryPath);
            postponeBackups();
            return true;
        }
        const std::string text =
            formatString("Backup of printer '%s' completed: file '%s' saved", name.c_str(), finalPath.c_str());
        ORVEL_LOG(Info, text);
        noteBackup(true, finalPath);
        postponeBackups();
        if (!service_->options().quiet())
            service_->informationMessage(text);
        return true;
    } catch (const std::bad_alloc &) {
        // The temporary file is gone already; the log line itself may fail too.
        try {
            ORVEL_LOG(Error, formatString("Backup of printer '%s' failed: out of memory", name.c_str()));
        } catch (const std::bad_alloc &) {
        }
        return false;
    }
}

void RemotePrinter::deleteOldBackups(const std::string &name, const std::string &folder, const std::string &prefix,
                                     const boost::posix_time::time_duration &maxAge, unsigned minCount)
{
    ORVEL_LOG(Debug, formatString("Checking old backups of printer '%s'...", name.c_str()));
    const int64_t cutoff =
        secondsSince1970(boost::posix_time::second_clock::universal_time()) - maxAge.total_seconds();

    std::vector<std::string> files;
    if (!FileSystem::getFiles(folder, files))
        files.clear();

    unsigned count = 0;
    std::set<std::string> candidates;  // full paths, in ascending byte order: the oldest first
    for (const std::string &fileName : files) {
        if (!isBackupOf(fileName, prefix))
            continue;
        ++count;
        const std::string path = FileSystem::combine(folder, fileName);
        int64_t written = 0;
        if (!FileSystem::getLastWriteTime(path, written)) {
            ORVEL_LOG(Warning, formatString("Cannot determine last write time of file '%s'", path.c_str()));
            continue;
        }
        if (written < cutoff)
            candidates.insert(path);
    }

    int removed = 0;
    for (auto candidate = candidates.begin(); candidate != candidates.end() && count > minCount;
         candidate = candidates.erase(candidate), --count) {
        if (FileSystem::remove(*candidate)) {
            ORVEL_LOG(Info, formatString("Backup file '%s' of printer '%s' removed", candidate->c_str(), name.c_str()));
            ++removed;
        } else {
            ORVEL_LOG(Warning,
                      formatString("Cannot remove old backup file '%s' of printer '%s'", candidate->c_str(), name.c_str()));
        }
    }
    if (removed > 0)
        ORVEL_LOG(Debug, formatString("Removed %d old backup(s) of printer '%s'...", removed, name.c_str()));
    else
        ORVEL_LOG(Debug, formatString("No old backup of printer '%s' removed", name.c_str()));
}
