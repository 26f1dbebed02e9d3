// The identity and behaviour of one simulated printer, from a --printer SPEC.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

// How a printer answers the printers discovery request.
enum class DiscoveryMode {
    Normal,   // a valid "HereMI" answer (header plus a short text)
    None,     // no answer at all
    Short,    // a 15-byte datagram, one byte short of a header
    Foreign,  // a datagram of normal length with another vendor tag
};

// What the bytes of a generated backup are.
enum class BackupContent {
    Pattern,  // byte i = (i*7+13) & 0xff
    Zero,     // all bytes 0
    Random,   // a seeded pseudo-random stream (see backupBytes)
};

// Plain settings record; built once on the main thread before any printer
// thread starts and read-only afterwards, so it needs no lock.
struct PrinterConfig {
    // Size of the identity record that starts the TQ_PRINTERINFO_CMD payload.
    static constexpr int kInfoRecordSize = 152;

    int index = 0;          // 1-based position on the command line
    in_addr address{};      // the printer's own IPv4 address (network order)
    std::string addressText;
    std::string name, model, status, serial, version, order;
    std::int32_t installed = 1700000000;  // installationDate, epoch seconds
    std::int32_t systemId = 0;
    std::uint32_t backupSize = 4096;       // bytes announced (and generated) for a backup
    BackupContent backupContent = BackupContent::Pattern;
    std::uint64_t backupSeed = 1;          // seed of BackupContent::Random
    long long backupCut = -1;              // >= 0: send that many content bytes, then close
    long long backupStall = -1;            // >= 0: send that many content bytes, then fall silent
    long long backupReset = -1;            // >= 0: send that many content bytes, then reset
    long long statusCloseAfter = -1;       // >= 1: close a status connection after that many info answers
    int infoLength = kInfoRecordSize;      // length field sent for the info command
    DiscoveryMode discovery = DiscoveryMode::Normal;
    double silentAfter = -1;               // seconds after start; < 0: never
    bool refuseStatus = false;             // true: no status-port listener
    std::uint8_t controlAnswer = 1;        // byte answered to a control command
    double statusAfter = -1;               // seconds after start; < 0: the status never changes
    std::string laterStatus;               // the status from statusAfter on

    // Parses "ADDRESS[,key=value]..." for the printer at 1-based index.
    // Returns false and sets error on a bad address, key or value.
    static bool parse(const std::string& spec, int index, PrinterConfig& out,
                      std::string& error);

    // The status text reported `elapsed` seconds after the program's start.
    const std::string& statusAt(double elapsed) const
    {
        return statusAfter >= 0 && elapsed >= statusAfter ? laterStatus : status;
    }

    // The 152-byte identity record (fixed text fields, little-endian ints)
    // as reported `elapsed` seconds after the program's start.
    std::vector<std::uint8_t> infoRecord(double elapsed = 0) const;

    // The whole answer to TQ_PRINTERINFO_CMD: the signed 16-bit length
    // field, then the payload that the length announces (none when <= 0).
    std::vector<std::uint8_t> infoAnswer(double elapsed = 0) const;

    // Byte i of the generated backup content with BackupContent::Pattern.
    static std::uint8_t backupByte(std::uint64_t i)
    {
        return static_cast<std::uint8_t>((i * 7 + 13) & 0xff);
    }

    // Bytes offset .. offset+n-1 of this printer's backup content. Random
    // content: byte i is byte i%8 (least significant first) of the 64-bit
    // word splitmix64(seed + i/8), so any part can be made without the rest.
    void backupBytes(std::uint64_t offset, std::uint8_t* out, std::size_t n) const;
};
