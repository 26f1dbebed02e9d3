#pragma once

#include "littleendian.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The printer's status port (TCP 9101; the control port has its own header,
// controlprotocol.h): the bridge sends a one-byte command and reads the
// answer. TQ_PRINTERINFO_CMD is answered by a signed 16-bit little-endian
// length and that many payload bytes, which begin with a PrinterInfo record;
// TQ_BACKUP_CMD by an unsigned 32-bit little-endian size and the backup.
namespace PrinterProtocol {

constexpr uint16_t StatusPort = 9101;

constexpr unsigned char TQ_BACKUP_CMD = 3;
constexpr unsigned char TQ_PRINTERINFO_CMD = 4;

constexpr size_t PrinterInfoSize = 152;
constexpr size_t InfoLengthSize = 2;
constexpr size_t BackupSizeSize = 4;

// The payload length a TQ_PRINTERINFO_CMD answer announces in its first two
// bytes; 0 when the printer sends no payload (a length below 1).
inline size_t infoPayloadLength(const unsigned char *field)
{
    const int length = static_cast<int16_t>(LittleEndian::read16(field));
    return length < 1 ? 0 : static_cast<size_t>(length);
}

// The backup size a TQ_BACKUP_CMD answer announces in its first four bytes.
inline uint32_t backupSize(const unsigned char *field)
{
    return LittleEndian::read32(field);
}

} // namespace PrinterProtocol
