// The behaviour of the simulated WVT server, from a --server SPEC.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Plain settings record; built once on the main thread before the server
// starts and read-only afterwards, so it needs no lock.
struct ServerConfig {
    static constexpr std::size_t kPasswordFileMax = 64u << 20;  // bytes read from password-file

    in_addr address{};             // listening address (network order)
    std::string addressText;
    std::uint16_t port = 0;        // 0: any free port (the report names it)

    double keepalive = 10;         // seconds between keep-alives
    // Versions of the password file announced by successive keep-alives of
    // a session; the last one repeats. -1: the server has no file.
    std::vector<std::int64_t> passwordVersions{0};
    bool keepaliveFill = true;     // unused keep-alive bytes: pattern (true) or 0

    std::uint32_t passwordSize = 1024;   // generated file: byte i = passwordByte(i)
    bool passwordFromFile = false;
    std::vector<std::uint8_t> passwordFile;  // the content of password-file
    long long passwordLength = -1;       // >= 0: length announced instead of the file's

    int tunnelPort = -1;           // printer port of tunnel requests; < 0: none
    double tunnelAfter = 0;        // seconds into the session of the first request
    double tunnelEvery = -1;       // > 0: seconds between further requests
    std::string tunnelPath = "/";  // HTTP path asked for through each tunnel

    double silentAfter = -1;       // seconds into the session: stop sending; < 0: never
    double closeAfter = -1;        // seconds into the session: close it; < 0: never
    // >= 0: after the registration, send that many random bytes (seeded by
    // the session number) and close, instead of serving the session.
    long long randomBytes = -1;

    // The settings of the sessions of one printer ("for=NAME" sections):
    // copies of this record with their own keys applied, forName set.
    std::string forName;           // empty: the server's own settings
    std::vector<ServerConfig> named;

    // Parses "ADDRESS:PORT[,key=value]...". Reads password-file at once.
    // Returns false and sets error on a bad address, key, value or file.
    static bool parse(const std::string& spec, ServerConfig& out, std::string& error);

    // The settings for a session that registered printerName: its
    // for=NAME section, else this record.
    const ServerConfig& configFor(const std::string& printerName) const;

    // The password file's size and its bytes offset .. offset+n-1.
    std::uint64_t passwordFileSize() const;
    void passwordBytes(std::uint64_t offset, std::uint8_t* out, std::size_t n) const;

    // Byte i of the generated password file.
    static std::uint8_t passwordByte(std::uint64_t i)
    {
        return static_cast<std::uint8_t>((i * 31 + 7) & 0xff);
    }

    // The version announced by the n-th keep-alive (0-based) of a session.
    std::int64_t versionOfKeepAlive(std::size_t n) const
    {
        return passwordVersions[n < passwordVersions.size() ? n : passwordVersions.size() - 1];
    }
};
