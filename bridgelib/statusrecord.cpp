#include "statusrecord.h"

#include "statusrecordjson.h"
#include "stringutils.h"

#include <cstdint>
#include <cstdlib>

namespace {

std::string text(const std::string &value)
{
    return StatusRecordJson::quote(escapeText(value));
}

std::string flag(bool value)
{
    return value ? "true" : "false";
}

std::string number(int64_t value)
{
    return std::to_string(value);
}

// A time of 0 (never) is written as null.
std::string timeOrNull(int64_t value)
{
    return value == 0 ? "null" : number(value);
}

// Reads the members of one object of the record, remembering the first
// problem: a member that is missing or of the wrong type.
class Fields {
public:
    Fields(const StatusRecordJson &object, std::string where, std::string &error)
        : object_(object), where_(std::move(where)), error_(error)
    {
        if (!object.isObject())
            fail("is not an object");
    }

    bool ok() const { return error_.empty(); }

    const StatusRecordJson *get(const char *name, bool required)
    {
        const StatusRecordJson *value = object_.isObject() ? object_.member(name) : nullptr;
        if (!value && required)
            fail(formatString("has no \"%s\"", name));
        return value;
    }

    void string(const char *name, std::string &out, bool required = true)
    {
        if (const StatusRecordJson *value = get(name, required)) {
            if (value->isString())
                out = value->string();
            else if (!value->isNull() || required)
                wrongType(name, "a string");
        }
    }

    void boolean(const char *name, bool &out, bool required = true)
    {
        if (const StatusRecordJson *value = get(name, required)) {
            if (value->isBool())
                out = value->boolean();
            else
                wrongType(name, "true or false");
        }
    }

    void optionalBoolean(const char *name, std::optional<bool> &out)
    {
        if (const StatusRecordJson *value = get(name, false)) {
            if (value->isBool())
                out = value->boolean();
            else if (!value->isNull())
                wrongType(name, "true, false or null");
        }
    }

    template <typename T>
    void integer(const char *name, T &out, int64_t low, int64_t high, bool required = true)
    {
        if (const StatusRecordJson *value = get(name, required)) {
            if (value->isInteger() && value->integer() >= low && value->integer() <= high)
                out = static_cast<T>(value->integer());
            else if (!value->isNull() || required)
                wrongType(name, "an integer in its range");
        }
    }

    void port(const char *name, std::optional<uint16_t> &out)
    {
        if (const StatusRecordJson *value = get(name, false)) {
            if (value->isInteger() && value->integer() >= 0 && value->integer() <= 65535)
                out = static_cast<uint16_t>(value->integer());
            else if (!value->isNull())
                wrongType(name, "a port or null");
        }
    }

    void address(const char *name, uint32_t &out, bool required = true)
    {
        std::string dotted;
        string(name, dotted, required);
        if (ok() && !dotted.empty() && !stringToAddress(dotted, out))
            fail(formatString("has a \"%s\" that is not an IPv4 address", name));
    }

    const std::vector<StatusRecordJson> *array(const char *name)
    {
        const StatusRecordJson *value = get(name, true);
        if (value && !value->isArray()) {
            wrongType(name, "an array");
            return nullptr;
        }
        return value ? &value->items() : nullptr;
    }

private:
    void wrongType(const char *name, const char *expected)
    {
        fail(formatString("has a \"%s\" that is not %s", name, expected));
    }
    void fail(const std::string &what)
    {
        if (error_.empty())
            error_ = where_ + " " + what;
    }

    const StatusRecordJson &object_;
    const std::string where_;
    std::string &error_;
};

void readPrinter(const StatusRecordJson &object, size_t index, PrinterDetails &printer, std::string &error)
{
    Fields fields(object, formatString("printer %zu", index + 1), error);
    fields.address("address", printer.address);
    fields.boolean("answered", printer.answered, false);
    fields.string("name", printer.name, false);
    fields.string("model", printer.model, false);
    fields.string("status", printer.status, false);
    fields.boolean("session_up", printer.sessionUp);
    std::string gateway;
    fields.string("gateway", gateway, false);
    if (fields.ok() && !gateway.empty()) {
        const size_t colon = gateway.rfind(':');
        uint32_t address = 0;
        char *end = nullptr;
        const unsigned long port =
            colon == std::string::npos ? 0 : std::strtoul(gateway.c_str() + colon + 1, &end, 10);
        if (colon == std::string::npos || !stringToAddress(gateway.substr(0, colon), address) || !end || *end ||
            port == 0 || port > 65535)
            error = formatString("printer %zu has a \"gateway\" that is not an address and a port", index + 1);
        printer.gatewayAddress = address;
        printer.gatewayPort = static_cast<uint32_t>(port);
    }
    fields.integer("sessions_started", printer.sessionsStarted, 0, INT64_MAX, false);
    fields.integer("last_keepalive", printer.lastKeepAlive, 0, INT64_MAX, false);
    fields.integer("last_backup", printer.lastBackup, 0, INT64_MAX, false);
    fields.string("last_backup_file", printer.lastBackupFile, false);
    fields.integer("failed_backups", printer.failedBackups, 0, INT64_MAX, false);
    fields.boolean("last_backup_failed", printer.lastBackupFailed, false);
}

// One metric family: its help and type lines, then its samples.
class Family {
public:
    Family(std::string &out, const char *name, const char *type, const char *help)
        : out_(out), name_(std::string(StatusRecord::MetricPrefix) + name)
    {
        out_ += "# HELP " + name_ + " " + help + "\n# TYPE " + name_ + " " + type + "\n";
    }
    void sample(int64_t value, const std::string &labels = std::string())
    {
        out_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
    }

private:
    std::string &out_;
    const std::string name_;
};

std::string printerLabels(const PrinterDetails &printer)
{
    return "address=\"" + StatusRecord::escapeLabelValue(addressToString(printer.address)) + "\",name=\"" +
           StatusRecord::escapeLabelValue(escapeText(printer.name)) + "\"";
}

} // namespace

size_t StatusRecord::sessionsUp() const
{
    size_t count = 0;
    for (const PrinterDetails &printer : printers)
        count += printer.sessionUp;
    return count;
}

std::string StatusRecord::toJson() const
{
    std::string out = "{\n";
    out += "  \"version\": " + number(Version) + ",\n";
    out += "  \"guid\": " + text(guid) + ",\n";
    out += "  \"pid\": " + number(pid) + ",\n";
    out += "  \"started\": " + number(started) + ",\n";
    out += "  \"written\": " + number(written) + ",\n";
    out += "  \"server\": {\"address\": " + text(serverAddress) + ", \"port\": " + number(serverPort) +
           ", \"reachable\": " + (serverReachable ? flag(*serverReachable) : "null") +
           ", \"connected\": " + flag(serverConnected) + ", \"tls\": " + flag(serverTls) +
           ", \"certificate_subject\": " + text(serverCertificateSubject) +
           ", \"certificate_expiry\": " + number(serverCertificateExpiry) + "},\n";
    out += "  \"gateway_port\": " + (gatewayPort ? number(*gatewayPort) : "null") + ",\n";
    out += "  \"responder\": " + flag(responder) + ",\n";
    out += "  \"printer_tunnel\": " +
           (printerTunnelPort ? "{\"port\": " + number(*printerTunnelPort) +
                                    ", \"printer\": " + text(addressToString(printerTunnelAddress)) + "}"
                              : std::string("null")) +
           ",\n";
    out += "  \"slaves\": [";
    for (size_t i = 0; i < slaves.size(); ++i)
        out += std::string(i ? ", " : "") + "{\"guid\": " + text(slaves[i].guid) +
               ", \"address\": " + text(addressToString(slaves[i].address)) + "}";
    out += "],\n  \"gateways\": [";
    for (size_t i = 0; i < gateways.size(); ++i)
        out += std::string(i ? ", " : "") + "{\"guid\": " + text(gateways[i].guid) +
               ", \"address\": " + text(addressToString(gateways[i].address)) +
               ", \"port\": " + number(gateways[i].port) + "}";
    out += "],\n  \"printers\": [";
    for (size_t i = 0; i < printers.size(); ++i) {
        const PrinterDetails &p = printers[i];
        out += std::string(i ? "," : "") + "\n    {\"address\": " + text(addressToString(p.address)) +
               ", \"answered\": " + flag(p.answered) + ", \"name\": " + text(p.name) +
               ", \"model\": " + text(p.model) + ", \"status\": " + text(p.status) +
               ", \"session_up\": " + flag(p.sessionUp) + ", \"gateway\": " +
               (p.gatewayAddress != 0 && p.gatewayPort != 0
                    ? text(addressToString(p.gatewayAddress) + ":" + std::to_string(p.gatewayPort))
                    : std::string("null")) +
               ", \"sessions_started\": " + number(static_cast<int64_t>(p.sessionsStarted)) +
               ", \"last_keepalive\": " + timeOrNull(p.lastKeepAlive) +
               ", \"last_backup\": " + timeOrNull(p.lastBackup) + ", \"last_backup_file\": " +
               (p.lastBackupFile.empty() ? std::string("null") : text(p.lastBackupFile)) +
               ", \"failed_backups\": " + number(static_cast<int64_t>(p.failedBackups)) +
               ", \"last_backup_failed\": " + flag(p.lastBackupFailed) + "}";
    }
    out += printers.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

bool StatusRecord::fromJson(const std::string &text, StatusRecord &record, std::string &error)
{
    error.clear();
    StatusRecordJson root;
    if (!StatusRecordJson::parse(text, root, error)) {
        error = "not JSON: " + error;
        return false;
    }
    StatusRecord read;
    Fields fields(root, "the record", error);
    int version = 0;
    fields.integer("version", version, INT32_MIN, INT32_MAX);
    if (fields.ok() && version != Version) {
        error = formatString("the record has version %d, not %d", version, Version);
        return false;
    }
    fields.string("guid", read.guid);
    fields.integer("pid", read.pid, 0, INT64_MAX, false);
    fields.integer("started", read.started, 0, INT64_MAX);
    fields.integer("written", read.written, 0, INT64_MAX);
    fields.port("gateway_port", read.gatewayPort);
    fields.boolean("responder", read.responder, false);
    const StatusRecordJson *server = fields.get("server", true);
    if (fields.ok()) {
        Fields serverFields(*server, "the server", error);
        serverFields.string("address", read.serverAddress, false);
        serverFields.integer("port", read.serverPort, 0, 65535, false);
        serverFields.optionalBoolean("reachable", read.serverReachable);
        serverFields.boolean("connected", read.serverConnected);
        serverFields.boolean("tls", read.serverTls, false);
        serverFields.string("certificate_subject", read.serverCertificateSubject, false);
        serverFields.integer("certificate_expiry", read.serverCertificateExpiry, 0, INT64_MAX, false);
    }
    if (const StatusRecordJson *tunnel = fields.get("printer_tunnel", false); tunnel && !tunnel->isNull()) {
        Fields tunnelFields(*tunnel, "the printer tunnel", error);
        uint16_t port = 0;
        tunnelFields.integer("port", port, 0, 65535);
        tunnelFields.address("printer", read.printerTunnelAddress, false);
        read.printerTunnelPort = port;
    }
    if (const StatusRecordJson *slaves = fields.get("slaves", false); slaves && slaves->isArray()) {
        for (size_t i = 0; i < slaves->items().size() && error.empty(); ++i) {
            Fields slave(slaves->items()[i], formatString("slave %zu", i + 1), error);
            SlaveInfo info;
            slave.string("guid", info.guid);
            slave.address("address", info.address);
            read.slaves.push_back(info);
        }
    }
    if (const StatusRecordJson *gateways = fields.get("gateways", false); gateways && gateways->isArray()) {
        for (size_t i = 0; i < gateways->items().size() && error.empty(); ++i) {
            Fields gateway(gateways->items()[i], formatString("gateway %zu", i + 1), error);
            gateway_info_t info;
            gateway.string("guid", info.guid);
            gateway.address("address", info.address);
            gateway.integer("port", info.port, 0, 65535);
            read.gateways.push_back(info);
        }
    }
    if (const std::vector<StatusRecordJson> *printers = error.empty() ? fields.array("printers") : nullptr) {
        for (size_t i = 0; i < printers->size() && error.empty(); ++i) {
            PrinterDetails printer;
            readPrinter((*printers)[i], i, printer, error);
            read.printers.push_back(std::move(printer));
        }
    }
    if (!error.empty())
        return false;
    record = std::move(read);
    return true;
}

std::string StatusRecord::toMetrics() const
{
    std::string out;
    Family(out, "info", "gauge", "The running bridge, by its instance GUID (always 1).")
        .sample(1, "guid=\"" + escapeLabelValue(escapeText(guid)) + "\"");
    Family(out, "start_time_seconds", "gauge", "When the bridge service started, in seconds since 1970.")
        .sample(started);
    Family(out, "status_time_seconds", "gauge", "When these figures were taken, in seconds since 1970.")
        .sample(written);
    Family(out, "server_reachable", "gauge", "1 when the last test reached the WVT server directly.")
        .sample(serverReachable.value_or(false));
    Family(out, "server_connected", "gauge", "1 when the WVT server is connected, directly or through a gateway.")
        .sample(serverConnected);
    Family(out, "gateway_listening", "gauge", "1 while the gateway listener is open.").sample(gatewayPort.has_value());
    Family(out, "responder_running", "gauge", "1 while the discovery responder runs.").sample(responder);
    Family(out, "slaves", "gauge", "Slave bridges served by this gateway.").sample(static_cast<int64_t>(slaves.size()));
    Family(out, "gateways", "gauge", "Gateway bridges known to this bridge.")
        .sample(static_cast<int64_t>(gateways.size()));
    Family(out, "printers", "gauge", "Printers registered with the bridge.")
        .sample(static_cast<int64_t>(printers.size()));
    Family(out, "sessions_up", "gauge", "Printers whose server session is up.")
        .sample(static_cast<int64_t>(sessionsUp()));
    if (printers.empty())
        return out;

    Family up(out, "printer_session_up", "gauge", "1 while the printer's server session is up.");
    for (const PrinterDetails &printer : printers)
        up.sample(printer.sessionUp, printerLabels(printer));
    Family keepAlive(out, "printer_last_keepalive_time_seconds", "gauge",
                     "When the printer's session last answered a keep-alive, in seconds since 1970.");
    for (const PrinterDetails &printer : printers) {
        if (printer.lastKeepAlive != 0)
            keepAlive.sample(printer.lastKeepAlive, printerLabels(printer));
    }
    Family backup(out, "printer_last_backup_time_seconds", "gauge",
                  "When the printer's last backup was stored, in seconds since 1970.");
    for (const PrinterDetails &printer : printers) {
        if (printer.lastBackup != 0)
            backup.sample(printer.lastBackup, printerLabels(printer));
    }
    Family failed(out, "printer_backup_failures_total", "counter", "Backups of the printer that failed.");
    for (const PrinterDetails &printer : printers)
        failed.sample(static_cast<int64_t>(printer.failedBackups), printerLabels(printer));
    Family sessions(out, "printer_sessions_started_total", "counter",
                    "Server sessions of the printer that were registered.");
    for (const PrinterDetails &printer : printers)
        sessions.sample(static_cast<int64_t>(printer.sessionsStarted), printerLabels(printer));
    return out;
}

std::string StatusRecord::escapeLabelValue(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}
