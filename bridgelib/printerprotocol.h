#pragma once

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

} // namespace PrinterProtocol
