#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A printer's identity and state as it reports them on its status port: the
// 152-byte record at the start of the TQ_PRINTERINFO_CMD answer. Text fields
// are NUL-padded 8-bit text (not always NUL-terminated when full); integers
// are little-endian on the wire.
struct PrinterInfo {
    char name[32];
    char model[32];
    char status[32];
    char serial[16];
    char version[16];
    char orderNumber[16];
    int32_t installationDate;  // seconds since 1970-01-01 UTC; 0 = not set
    int32_t systemId;

    // All fields zero.
    PrinterInfo();
    // The record from the first bytes of a payload; a short payload fills the
    // beginning and leaves the rest zero, bytes beyond the record are ignored.
    static PrinterInfo fromPayload(const unsigned char *payload, size_t length);
    // The record a printer gets when it answers with no payload.
    static PrinterInfo unnamed();

    // A text field up to its first NUL, at most the field's size.
    static std::string text(const char *field, size_t size);
    template <size_t N>
    static std::string text(const char (&field)[N])
    {
        return text(field, N);
    }
};
