#include "printerconfig.h"

#include "specparse.h"

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

using specparse::parseInteger;
using specparse::parseSeconds;
using specparse::splitAtCommas;

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
        } else if (key == "backup-content") {
            if (value == "pattern") c.backupContent = BackupContent::Pattern;
            else if (value == "zero") c.backupContent = BackupContent::Zero;
            else if (value == "random") c.backupContent = BackupContent::Random;
            else ok = false;
        } else if (key == "backup-seed") {
            ok = parseInteger(value, 0, LLONG_MAX, number);
            c.backupSeed = static_cast<std::uint64_t>(number);
        } else if (key == "backup-cut") {
            ok = parseInteger(value, 0, UINT32_MAX, number);
            c.backupCut = number;
        } else if (key == "backup-stall") {
            ok = parseInteger(value, 0, UINT32_MAX, number);
            c.backupStall = number;
        } else if (key == "backup-reset") {
            ok = parseInteger(value, 0, UINT32_MAX, number);
            c.backupReset = number;
        } else if (key == "status-close-after") {
            ok = parseInteger(value, 1, INT32_MAX, number);
            c.statusCloseAfter = number;
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
        } else if (key == "status-after") {
            // SECONDS:TEXT; the text may hold colons, the seconds cannot.
            const std::size_t colon = value.find(':');
            ok = colon != std::string::npos && parseSeconds(value.substr(0, colon), c.statusAfter) &&
                 value.size() - colon - 1 <= 32;
            if (ok)
                c.laterStatus = value.substr(colon + 1);
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
    if ((c.backupCut >= 0) + (c.backupStall >= 0) + (c.backupReset >= 0) > 1) {
        error = "printer " + n + ": backup-cut, backup-stall and backup-reset exclude each other";
        return false;
    }
    out = c;
    return true;
}

std::vector<std::uint8_t> PrinterConfig::infoRecord(double elapsed) const
{
    std::vector<std::uint8_t> record(kInfoRecordSize, 0);
    putText(record, 0, 32, name);
    putText(record, 32, 32, model);
    putText(record, 64, 32, statusAt(elapsed));
    putText(record, 96, 16, serial);
    putText(record, 112, 16, version);
    putText(record, 128, 16, order);
    putInt32(record, 144, installed);
    putInt32(record, 148, systemId);
    return record;
}

std::vector<std::uint8_t> PrinterConfig::infoAnswer(double elapsed) const
{
    const std::uint16_t field = static_cast<std::uint16_t>(
        static_cast<std::int16_t>(infoLength));
    std::vector<std::uint8_t> answer = {
        static_cast<std::uint8_t>(field & 0xff),
        static_cast<std::uint8_t>(field >> 8)};
    if (infoLength <= 0)
        return answer;
    std::vector<std::uint8_t> record = infoRecord(elapsed);
    // A payload longer than the record carries filler bytes after it.
    record.resize(static_cast<std::size_t>(infoLength), 0xA5);
    answer.insert(answer.end(), record.begin(), record.end());
    return answer;
}

void PrinterConfig::backupBytes(std::uint64_t offset, std::uint8_t* out, std::size_t n) const
{
    switch (backupContent) {
    case BackupContent::Zero:
        std::memset(out, 0, n);
        return;
    case BackupContent::Pattern:
        for (std::size_t k = 0; k < n; ++k)
            out[k] = backupByte(offset + k);
        return;
    case BackupContent::Random:
        std::uint64_t word = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint64_t i = offset + k;
            if (k == 0 || i % 8 == 0) {
                std::uint64_t z = backupSeed + i / 8 + 0x9E3779B97F4A7C15ull;
                z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
                z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
                word = z ^ (z >> 31);
            }
            out[k] = static_cast<std::uint8_t>(word >> (8 * (i % 8)));
        }
        return;
    }
}
