#include "printerconfig.h"

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

// Parses a whole decimal integer within [low, high].
bool parseInteger(const std::string& text, long long low, long long high,
                  long long& value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high)
        return false;
    value = v;
    return true;
}

bool parseSeconds(const std::string& text, double& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(v >= 0) || v > 1e7)
        return false;
    value = v;
    return true;
}

std::vector<std::string> splitAtCommas(const std::string& text)
{
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, ','))
        parts.push_back(part);
    if (!text.empty() && text.back() == ',')
        parts.push_back("");
    return parts;
}

// Copies text into a fixed NUL-padded field; the text may fill it entirely.
void putText(std::vector<std::uint8_t>& record, std::size_t offset,
             std::size_t size, const std::string& text)
{
    std::memcpy(record.data() + offset, text.data(),
                text.size() < size ? text.size() : size);
}

void putInt32(std::vector<std::uint8_t>& record, std::size_t offset,
              std::int32_t value)
{
    const std::uint32_t v = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        record[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

bool PrinterConfig::parse(const std::string& spec, int index,
                          PrinterConfig& out, std::string& error)
{
    PrinterConfig c;
    c.index = index;
    const std::string n = std::to_string(index);
    char serial[16];
    std::snprintf(serial, sizeof serial, "LAB%04d", index % 10000);
    c.name = "Lab printer " + n;
    c.model = "LabJet 1000";
    c.status = "Ready";
    c.serial = serial;
    c.version = "1.0.0";
    c.order = "ORD-" + n;
    c.systemId = 1000 + index;

    const std::vector<std::string> parts = splitAtCommas(spec);
    if (parts.empty() || inet_pton(AF_INET, parts[0].c_str(), &c.address) != 1) {
        error = "printer " + n + ": '" + (parts.empty() ? "" : parts[0]) +
                "' is not an IPv4 address";
        return false;
    }
    c.addressText = parts[0];

    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        const std::size_t eq = part.find('=');
        const std::string key = part.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : part.substr(eq + 1);
        if (eq == std::string::npos) {
            error = "printer " + n + ": '" + part + "' is not key=value";
            return false;
        }
        bool ok = true;
        long long number = 0;
        // Text keys with the size of their field in the identity record.
        struct TextKey { const char* key; std::string* target; std::size_t size; };
        const TextKey textKeys[] = {
            {"name", &c.name, 32},       {"model", &c.model, 32},
            {"status", &c.status, 32},   {"serial", &c.serial, 16},
            {"version", &c.version, 16}, {"order", &c.order, 16},
        };
        bool known = false;
        for (const TextKey& t : textKeys) {
            if (key == t.key) {
                known = true;
                ok = value.size() <= t.size;
                if (ok)
                    *t.target = value;
                else
                    error = "printer " + n + ": " + key + " is longer than " +
                            std::to_string(t.size) + " bytes";
            }
        }
        if (known) {
            if (!ok)
                return false;
            continue;
        }
        if (key == "installed") {
            ok = parseInteger(value, INT32_MIN, INT32_MAX, number);
            c.installed = static_cast<std::int32_t>(number);
        } else if (key == "system-id") {
            ok = parseInteger(value, INT32_MIN, INT32_MAX, number);
            c.systemId = static_cast<std::int32_t>(number);
        } else if (key == "backup-size") {
            ok = parseInteger(value, 0, UINT32_MAX, number);
            c.backupSize = static_cast<std::uint32_t>(number);
        } else if (key == "info-length") {
            ok = parseInteger(value, INT16_MIN, INT16_MAX, number);
            c.infoLength = static_cast<int>(number);
        } else if (key == "discovery") {
            if (value == "normal") c.discovery = DiscoveryMode::Normal;
            else if (value == "none") c.discovery = DiscoveryMode::None;
            else if (value == "short") c.discovery = DiscoveryMode::Short;
            else if (value == "foreign") c.discovery = DiscoveryMode::Foreign;
            else ok = false;
        } else if (key == "silent-after") {
            ok = parseSeconds(value, c.silentAfter);
        } else if (key == "refuse-status") {
            ok = parseInteger(value, 0, 1, number);
            c.refuseStatus = number == 1;
        } else if (key == "control-answer") {
            ok = parseInteger(value, 0, 255, number);
            c.controlAnswer = static_cast<std::uint8_t>(number);
        } else {
            error = "printer " + n + ": unknown key '" + key + "'";
            return false;
        }
        if (!ok) {
            error = "printer " + n + ": bad value '" + value + "' for " + key;
            return false;
        }
    }
    out = c;
    return true;
}

std::vector<std::uint8_t> PrinterConfig::infoRecord() const
{
    std::vector<std::uint8_t> record(kInfoRecordSize, 0);
    putText(record, 0, 32, name);
    putText(record, 32, 32, model);
    putText(record, 64, 32, status);
    putText(record, 96, 16, serial);
    putText(record, 112, 16, version);
    putText(record, 128, 16, order);
    putInt32(record, 144, installed);
    putInt32(record, 148, systemId);
    return record;
}

std::vector<std::uint8_t> PrinterConfig::infoAnswer() const
{
    const std::uint16_t field = static_cast<std::uint16_t>(
        static_cast<std::int16_t>(infoLength));
    std::vector<std::uint8_t> answer = {
        static_cast<std::uint8_t>(field & 0xff),
        static_cast<std::uint8_t>(field >> 8)};
    if (infoLength <= 0)
        return answer;
    std::vector<std::uint8_t> record = infoRecord();
    // A payload longer than the record carries filler bytes after it.
    record.resize(static_cast<std::size_t>(infoLength), 0xA5);
    answer.insert(answer.end(), record.begin(), record.end());
    return answer;
}
