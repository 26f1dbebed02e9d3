#include "statuscommand.h"

#include "filesystem.h"
#include "statusfilewriter.h"
#include "stringutils.h"

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

const char *const StateWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

bool variableSet(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value;
}

// Characters on the screen: UTF-8 continuation bytes take no room.
size_t width(const std::string &text)
{
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::string padded(const std::string &text, size_t columns)
{
    const size_t used = width(text);
    return text + std::string(columns > used ? columns - used : 0, ' ') + "  ";
}

std::string utcTime(int64_t time)
{
    return boost::posix_time::to_simple_string(boost::posix_time::from_time_t(static_cast<std::time_t>(time))) +
           " UTC";
}

std::string plural(size_t count, const char *one, const char *many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

} // namespace

std::vector<std::string> StatusCommand::recordPaths()
{
    std::vector<std::string> paths;
    const std::string own = StatusFileWriter::stateDirectory();
    if (!own.empty())
        paths.push_back(FileSystem::combine(own, StatusFileWriter::RecordFileName));
    const std::string system = FileSystem::combine(SystemStateDirectory, StatusFileWriter::RecordFileName);
    if (!variableSet("STATE_DIRECTORY") && !variableSet("XDG_STATE_HOME") &&
        std::find(paths.begin(), paths.end(), system) == paths.end())
        paths.push_back(system);
    return paths;
}

bool StatusCommand::readRecord(const std::string &path, StatusRecord &record, std::string &error, bool &missing)
{
    missing = false;
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        missing = errno == ENOENT || errno == ENOTDIR;
        error = missing ? formatString("no status record '%s'", path.c_str())
                        : formatString("cannot read the status record '%s': %s", path.c_str(),
                                       errno ? std::strerror(errno) : "unknown error");
        return false;
    }
    std::string text;
    char buffer[65536];
    while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(file.gcount()));
        if (text.size() > MaxRecordSize) {
            error = formatString("the status record '%s' is larger than %zu bytes", path.c_str(), MaxRecordSize);
            return false;
        }
    }
    if (file.bad()) {
        error = formatString("cannot read the status record '%s'", path.c_str());
        return false;
    }
    std::string problem;
    if (!StatusRecord::fromJson(text, record, problem)) {
        error = formatString("the status record '%s' is damaged: %s", path.c_str(), escapeText(problem).c_str());
        return false;
    }
    return true;
}

int StatusCommand::evaluate(const StatusRecord &record, int64_t now, std::string &summary)
{
    const int64_t recordAge = now - record.written;
    if (recordAge > MaxAgeSeconds) {
        summary = formatString("the status record is %lld s old: the bridge is not running",
                               static_cast<long long>(recordAge));
        return Unknown;
    }
    const size_t printers = record.printers.size();
    const size_t up = record.sessionsUp();
    const size_t failed = static_cast<size_t>(std::count_if(
        record.printers.begin(), record.printers.end(), [](const PrinterDetails &p) { return p.lastBackupFailed; }));
    std::string sessions = formatString("%zu of %s up", up, plural(printers, "printer session", "printer sessions").c_str());
    if (failed > 0)
        sessions += ", " + plural(failed, "last backup", "last backups") + " failed";
    if (!record.serverConnected) {
        summary = "server not connected, " + sessions;
        return Critical;
    }
    summary = "server connected, " + sessions;
    return up < printers || failed > 0 ? Warning : Ok;
}

std::string StatusCommand::summaryLine(int code, const std::string &text)
{
    const int index = code >= Ok && code <= Unknown ? code : Unknown;
    return std::string("ORVEL-BRIDGE ") + StateWords[index] + " - " + text;
}

std::string StatusCommand::age(int64_t time, int64_t now)
{
    if (time == 0)
        return "never";
    const int64_t seconds = std::max<int64_t>(0, now - time);
    if (seconds < 120)
        return formatString("%lld s", static_cast<long long>(seconds));
    if (seconds < 2 * 3600)
        return formatString("%lld min", static_cast<long long>(seconds / 60));
    if (seconds < 2 * 86400)
        return formatString("%lld h", static_cast<long long>(seconds / 3600));
    return formatString("%lld d", static_cast<long long>(seconds / 86400));
}

std::string StatusCommand::table(const StatusRecord &record, int64_t now)
{
    std::string out = formatString("Bridge %s (process %lld), started %s; record written %s ago\n",
                                   escapeText(record.guid).c_str(), static_cast<long long>(record.pid),
                                   record.started ? utcTime(record.started).c_str() : "never",
                                   age(record.written, now).c_str());
    // A link over TLS says so, with the certificate of the latest handshake.
    const std::string tls = !record.serverTls ? std::string()
                            : record.serverCertificateSubject.empty()
                                ? std::string(", TLS (no handshake yet)")
                                : formatString(", TLS with certificate %s expiring %s",
                                               escapeText(record.serverCertificateSubject).c_str(),
                                               utcTime(record.serverCertificateExpiry).c_str());
    out += formatString("Server: %s:%u %s, %s%s\n", escapeText(record.serverAddress).c_str(),
                        static_cast<unsigned>(record.serverPort),
                        record.serverConnected ? "connected" : "not connected",
                        !record.serverReachable ? "not tested yet"
                        : *record.serverReachable ? "reached directly"
                                                  : "not reached directly",
                        tls.c_str());
    out += "Listeners: gateway " +
           (record.gatewayPort ? "port " + std::to_string(*record.gatewayPort) : std::string("off")) +
           ", discovery responder " + (record.responder ? "on" : "off") + ", printer tunnel " +
           (record.printerTunnelPort ? "port " + std::to_string(*record.printerTunnelPort) + " to " +
                                           addressToString(record.printerTunnelAddress)
                                     : std::string("off")) +
           "\n";
    out += "Slaves: " + std::to_string(record.slaves.size()) + ", gateways known: " +
           std::to_string(record.gateways.size()) + "\n";
    if (record.printers.empty())
        return out + "No printer\n";

    struct Row {
        std::string cells[5];
    };
    std::vector<Row> rows;
    rows.push_back({{"PRINTER", "ADDRESS", "SESSION", "KEEP-ALIVE", "BACKUP"}});
    for (const PrinterDetails &printer : record.printers) {
        std::string backup = age(printer.lastBackup, now);
        if (printer.lastBackupFailed)
            backup += ", last one failed";
        if (printer.failedBackups > 0)
            backup += formatString(" (%llu failed)", static_cast<unsigned long long>(printer.failedBackups));
        std::string session = printer.sessionUp ? "up" : "down";
        if (printer.sessionUp && printer.gatewayAddress != 0)
            session += " via " + addressToString(printer.gatewayAddress) + ":" + std::to_string(printer.gatewayPort);
        // The record holds device texts escaped already; escaping is
        // idempotent, and a record edited by hand is shown safely too.
        const std::string name = printer.name.empty() ? "?" : escapeText(printer.name);
        rows.push_back({{name, addressToString(printer.address), session, age(printer.lastKeepAlive, now), backup}});
    }
    size_t widths[4] = {};
    for (const Row &row : rows) {
        for (size_t i = 0; i < 4; ++i)
            widths[i] = std::max(widths[i], width(row.cells[i]));
    }
    for (const Row &row : rows) {
        std::string line;
        for (size_t i = 0; i < 4; ++i)
            line += padded(row.cells[i], widths[i]);
        out += line + row.cells[4] + "\n";
    }
    return out;
}

int StatusCommand::run(std::ostream &out, int64_t now)
{
    const std::vector<std::string> paths = recordPaths();
    if (paths.empty()) {
        out << summaryLine(Unknown, "no folder for the status record (no home folder known)") << std::endl;
        return Unknown;
    }
    StatusRecord record;
    std::string firstError;
    for (const std::string &path : paths) {
        std::string error;
        bool missing = false;
        if (readRecord(path, record, error, missing)) {
            std::string summary;
            const int code = evaluate(record, now, summary);
            out << summaryLine(code, summary) << "\n" << table(record, now) << std::flush;
            return code;
        }
        // A missing record of one's own lets the system service's be read;
        // a damaged or unreadable one is reported as it is.
        if (!missing) {
            out << summaryLine(Unknown, error) << std::endl;
            return Unknown;
        }
        if (firstError.empty())
            firstError = error;
    }
    out << summaryLine(Unknown, firstError + ": is the bridge running?") << std::endl;
    return Unknown;
}
