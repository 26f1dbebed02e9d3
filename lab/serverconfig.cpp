#include "serverconfig.h"

#include "specparse.h"

#include <arpa/inet.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

using specparse::parseInteger;
using specparse::parseSeconds;

// "V[:V]..." of signed 64-bit versions (>= -1).
bool parseVersions(const std::string& text, std::vector<std::int64_t>& out)
{
    std::vector<std::int64_t> versions;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = text.find(':', start);
        long long v = 0;
        if (!parseInteger(text.substr(start, colon - start), -1, LLONG_MAX, v))
            return false;
        versions.push_back(v);
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    out = versions;
    return true;
}

bool readFile(const std::string& path, std::vector<std::uint8_t>& out, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read password file '" + path + "'";
        return false;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    if (size < 0 || static_cast<std::uint64_t>(size) > ServerConfig::kPasswordFileMax) {
        error = "password file '" + path + "' is larger than 64 MiB or unreadable";
        return false;
    }
    file.seekg(0);
    out.resize(static_cast<std::size_t>(size));
    if (size > 0 && !file.read(reinterpret_cast<char*>(out.data()), size)) {
        error = "cannot read password file '" + path + "'";
        return false;
    }
    return true;
}

// Sets one key of a server SPEC in c; false and error on a bad key or value.
bool applyKey(ServerConfig& c, const std::string& key, const std::string& value, std::string& error)
{
    bool ok = true;
    long long number = 0;
    if (key == "keepalive") {
        ok = parseSeconds(value, c.keepalive) && c.keepalive >= 0.001;
    } else if (key == "password-version") {
        ok = parseVersions(value, c.passwordVersions);
    } else if (key == "keepalive-fill") {
        ok = value == "pattern" || value == "zero";
        c.keepaliveFill = value == "pattern";
    } else if (key == "password-size") {
        ok = parseInteger(value, 0, UINT32_MAX, number);
        c.passwordSize = static_cast<std::uint32_t>(number);
    } else if (key == "password-file") {
        if (!readFile(value, c.passwordFile, error)) {
            error = "server: " + error;
            return false;
        }
        c.passwordFromFile = true;
    } else if (key == "password-length") {
        ok = parseInteger(value, 0, UINT32_MAX, c.passwordLength);
    } else if (key == "tunnel-port") {
        ok = parseInteger(value, 0, 65535, number);
        c.tunnelPort = static_cast<int>(number);
    } else if (key == "tunnel-after") {
        ok = parseSeconds(value, c.tunnelAfter);
    } else if (key == "tunnel-every") {
        ok = parseSeconds(value, c.tunnelEvery) && c.tunnelEvery >= 0.001;
    } else if (key == "tunnel-path") {
        ok = !value.empty() && value[0] == '/' &&
             value.find_first_of(" \r\n") == std::string::npos;
        c.tunnelPath = value;
    } else if (key == "silent-after") {
        ok = parseSeconds(value, c.silentAfter);
    } else if (key == "close-after") {
        ok = parseSeconds(value, c.closeAfter);
    } else if (key == "random-bytes") {
        ok = parseInteger(value, 0, 1LL << 32, c.randomBytes);
    } else {
        error = "server: unknown key '" + key + "'";
        return false;
    }
    if (!ok) {
        error = "server: bad value '" + value + "' for " + key;
        return false;
    }
    return true;
}

}  // namespace

bool ServerConfig::parse(const std::string& spec, ServerConfig& out, std::string& error)
{
    ServerConfig c;
    const std::vector<std::string> parts = specparse::splitAtCommas(spec);
    const std::string endpoint = parts.empty() ? "" : parts[0];
    const std::size_t colon = endpoint.rfind(':');
    long long port = 0;
    if (colon == std::string::npos ||
        inet_pton(AF_INET, endpoint.substr(0, colon).c_str(), &c.address) != 1 ||
        !parseInteger(endpoint.substr(colon + 1), 0, 65535, port)) {
        error = "server: '" + endpoint + "' is not ADDRESS:PORT";
        return false;
    }
    c.addressText = endpoint.substr(0, colon);
    c.port = static_cast<std::uint16_t>(port);

    // Keys before the first "for=NAME" are the server's; the keys after
    // one apply to the sessions of the printer registered under NAME,
    // on top of the server's (wherever those stand on the line).
    std::vector<std::pair<std::string, std::string>> common;
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> sections;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        std::string key, value;
        if (!specparse::splitKeyValue(parts[i], key, value)) {
            error = "server: '" + parts[i] + "' is not key=value";
            return false;
        }
        if (key == "for") {
            if (value.empty() || value.size() > 31) {
                error = "server: bad value '" + value + "' for for";
                return false;
            }
            sections.push_back({value, {}});
        } else if (sections.empty()) {
            common.push_back({key, value});
        } else if (key == "tunnel-path") {
            error = "server: tunnel-path applies to every tunnel, not within for=" + sections.back().first;
            return false;
        } else {
            sections.back().second.push_back({key, value});
        }
    }
    for (const auto& [key, value] : common) {
        if (!applyKey(c, key, value, error))
            return false;
    }
    for (const auto& [name, keys] : sections) {
        ServerConfig named = c;
        named.forName = name;
        for (const auto& [key, value] : keys) {
            if (!applyKey(named, key, value, error))
                return false;
        }
        c.named.push_back(named);
    }
    out = c;
    return true;
}

std::uint64_t ServerConfig::passwordFileSize() const
{
    return passwordFromFile ? passwordFile.size() : passwordSize;
}

void ServerConfig::passwordBytes(std::uint64_t offset, std::uint8_t* out, std::size_t n) const
{
    if (passwordFromFile) {
        std::memcpy(out, passwordFile.data() + offset, n);
        return;
    }
    for (std::size_t k = 0; k < n; ++k)
        out[k] = passwordByte(offset + k);
}

const ServerConfig& ServerConfig::configFor(const std::string& printerName) const
{
    for (const ServerConfig& n : named) {
        if (n.forName == printerName)
            return n;
    }
    return *this;
}
