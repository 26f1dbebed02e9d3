#include "statusrecord.h"

#include "stringutils.h"

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>

namespace {

// Members keep the order they are written in.
using Json = nlohmann::ordered_json;

// Texts from devices and hosts, as the log shows them.
Json text(const std::string &value)
{
    return escapeText(value);
}

Json address(uint32_t value)
{
    return addressToString(value);
}

// A time of 0 (never) is written as null.
Json timeOrNull(int64_t value)
{
    return value == 0 ? Json() : Json(value);
}

template <typename T>
Json valueOrNull(const std::optional<T> &value)
{
    return value ? Json(*value) : Json();
}

// A JSON number that is an integer in the range of int64_t.
bool integerOf(const Json &value, int64_t &out)
{
    if (value.is_number_unsigned()) {
        const uint64_t unsignedValue = value.get<uint64_t>();
        if (unsignedValue > static_cast<uint64_t>(INT64_MAX))
            return false;
        out = static_cast<int64_t>(unsignedValue);
        return true;
    }
    if (!value.is_number_integer())
        return false;
    out = value.get<int64_t>();
    return true;
}

// Reads the members of one object of the record, remembering the first
// problem: a member that is missing or of the wrong type.
class Fields {
public:
    Fields(const Json &object, std::string where, std::string &error)
        : object_(object), where_(std::move(where)), error_(error)
    {
        if (!object.is_object())
            fail("is not an object");
    }

    bool ok() const { return error_.empty(); }

    const Json *get(const char *name, bool required)
    {
        const auto found = object_.is_object() ? object_.find(name) : object_.end();
        if (found == object_.end()) {
            if (required && object_.is_object())
                fail(formatString("has no \"%s\"", name));
            return nullptr;
        }
        return &*found;
    }

    void string(const char *name, std::string &out, bool required = true)
    {
        if (const Json *value = get(name, required)) {
            if (value->is_string())
                out = value->get_ref<const std::string &>();
            else if (!value->is_null() || required)
                wrongType(name, "a string");
        }
    }

    void boolean(const char *name, bool &out, bool required = true)
    {
        if (const Json *value = get(name, required)) {
            if (value->is_boolean())
                out = value->get<bool>();
            else
                wrongType(name, "true or false");
        }
    }

    void optionalBoolean(const char *name, std::optional<bool> &out)
    {
        if (const Json *value = get(name, false)) {
            if (value->is_boolean())
                out = value->get<bool>();
            else if (!value->is_null())
                wrongType(name, "true, false or null");
        }
    }

    template <typename T>
    void integer(const char *name, T &out, int64_t low, int64_t high, bool required = true)
    {
        if (const Json *value = get(name, required)) {
            int64_t number = 0;
            if (integerOf(*value, number) && number >= low && number <= high)
                out = static_cast<T>(number);
            else if (!value->is_null() || required)
                wrongType(name, "an integer in its range");
        }
    }

    void port(const char *name, std::optional<uint16_t> &out)
    {
        if (const Json *value = get(name, false)) {
            int64_t number = 0;
            if (integerOf(*value, number) && number >= 0 && number <= 65535)
                out = static_cast<uint16_t>(number);
            else if (!value->is_null())
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

    // The items of an array member; null, with the problem noted, when it
    // is missing or no array (and, when `required` is false, null quietly).
    const Json *array(const char *name, bool required = true)
    {
        const Json *value = get(name, required);
        if (value && !value->is_array()) {
            if (required)
                wrongType(name, "an array");
            return nullptr;
        }
        return value;
    }

    // Reads each item of the array member `name` into a new element of `out`
    // with readItem(item's fields, element); the items are "<what> <n>" in
    // the problems.
    template <typename T, typename ReadItem>
    void list(const char *name, const char *what, bool required, std::vector<T> &out, ReadItem readItem)
    {
        const Json *items = array(name, required);
        for (size_t i = 0; items && i < items->size() && ok(); ++i) {
            Fields item((*items)[i], formatString("%s %zu", what, i + 1), error_);
            out.emplace_back();
            readItem(item, out.back());
        }
    }

    void wrongType(const char *name, const char *expected)
    {
        fail(formatString("has a \"%s\" that is not %s", name, expected));
    }

private:
    void fail(const std::string &what)
    {
        if (error_.empty())
            error_ = where_ + " " + what;
    }

    const Json &object_;
    const std::string where_;
    std::string &error_;
};

Json writePrinter(const PrinterDetails &p)
{
    const bool throughGateway = p.gatewayAddress != 0 && p.gatewayPort != 0;
    return {
        {"address", address(p.address)},
        {"answered", p.answered},
        {"name", text(p.name)},
        {"model", text(p.model)},
        {"status", text(p.status)},
        {"session_up", p.sessionUp},
        {"gateway", throughGateway ? text(addressToString(p.gatewayAddress) + ":" + std::to_string(p.gatewayPort))
                                   : Json()},
        {"sessions_started", p.sessionsStarted},
        {"last_keepalive", timeOrNull(p.lastKeepAlive)},
        {"last_backup", timeOrNull(p.lastBackup)},
        {"last_backup_file", p.lastBackupFile.empty() ? Json() : text(p.lastBackupFile)},
        {"failed_backups", p.failedBackups},
        {"last_backup_failed", p.lastBackupFailed},
    };
}

void readPrinter(Fields &fields, PrinterDetails &printer)
{
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
            fields.wrongType("gateway", "an address and a port");
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
    Json slaveList = Json::array();
    for (const SlaveInfo &slave : slaves)
        slaveList.push_back({{"guid", text(slave.guid)}, {"address", address(slave.address)}});
    Json gatewayList = Json::array();
    for (const gateway_info_t &gateway : gateways)
        gatewayList.push_back(
            {{"guid", text(gateway.guid)}, {"address", address(gateway.address)}, {"port", gateway.port}});
    Json printerList = Json::array();
    for (const PrinterDetails &printer : printers)
        printerList.push_back(writePrinter(printer));
    const Json record = {
        {"version", Version},
        {"guid", text(guid)},
        {"pid", pid},
        {"started", started},
        {"written", written},
        {"server",
         {{"address", text(serverAddress)},
          {"port", serverPort},
          {"reachable", valueOrNull(serverReachable)},
          {"connected", serverConnected},
          {"tls", serverTls},
          {"certificate_subject", text(serverCertificateSubject)},
          {"certificate_expiry", serverCertificateExpiry}}},
        {"gateway_port", valueOrNull(gatewayPort)},
        {"responder", responder},
        {"printer_tunnel", printerTunnelPort ? Json{{"port", *printerTunnelPort},
                                                    {"printer", address(printerTunnelAddress)}}
                                             : Json()},
        {"slaves", slaveList},
        {"gateways", gatewayList},
        {"printers", printerList},
    };
    // Every text went through escapeText, so it is valid UTF-8 already.
    return record.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool StatusRecord::fromJson(const std::string &text, StatusRecord &record, std::string &error)
{
    error.clear();
    Json root;
    try {
        root = Json::parse(text);
    } catch (const Json::exception &problem) {
        // Its text without the library's "[json.exception.<kind>] " in front.
        const std::string what = problem.what();
        const size_t start = what.compare(0, 1, "[") == 0 ? what.find("] ") : std::string::npos;
        error = "not JSON: " + (start == std::string::npos ? what : what.substr(start + 2));
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
    const Json *server = fields.get("server", true);
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
    if (const Json *tunnel = fields.get("printer_tunnel", false); tunnel && !tunnel->is_null()) {
        Fields tunnelFields(*tunnel, "the printer tunnel", error);
        uint16_t port = 0;
        tunnelFields.integer("port", port, 0, 65535);
        tunnelFields.address("printer", read.printerTunnelAddress, false);
        read.printerTunnelPort = port;
    }
    fields.list("slaves", "slave", false, read.slaves, [](Fields &slave, SlaveInfo &info) {
        slave.string("guid", info.guid);
        slave.address("address", info.address);
    });
    fields.list("gateways", "gateway", false, read.gateways, [](Fields &gateway, gateway_info_t &info) {
        gateway.string("guid", info.guid);
        gateway.address("address", info.address);
        gateway.integer("port", info.port, 0, 65535);
    });
    fields.list("printers", "printer", true, read.printers, readPrinter);
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
