#include "printerinfo.h"

#include "littleendian.h"
#include "printerprotocol.h"

#include <algorithm>
#include <cstring>

namespace {

// Field offsets in the record as the printer sends it.
constexpr size_t NameOffset = 0;
constexpr size_t ModelOffset = 32;
constexpr size_t StatusOffset = 64;
constexpr size_t SerialOffset = 96;
constexpr size_t VersionOffset = 112;
constexpr size_t OrderNumberOffset = 128;
constexpr size_t InstallationDateOffset = 144;
constexpr size_t SystemIdOffset = 148;

} // namespace

PrinterInfo::PrinterInfo()
{
    std::memset(this, 0, sizeof *this);
}

PrinterInfo PrinterInfo::fromPayload(const unsigned char *payload, size_t length)
{
    unsigned char record[PrinterProtocol::PrinterInfoSize] = {};
    if (payload)
        std::memcpy(record, payload, std::min(length, sizeof record));
    PrinterInfo info;
    std::memcpy(info.name, record + NameOffset, sizeof info.name);
    std::memcpy(info.model, record + ModelOffset, sizeof info.model);
    std::memcpy(info.status, record + StatusOffset, sizeof info.status);
    std::memcpy(info.serial, record + SerialOffset, sizeof info.serial);
    std::memcpy(info.version, record + VersionOffset, sizeof info.version);
    std::memcpy(info.orderNumber, record + OrderNumberOffset, sizeof info.orderNumber);
    info.installationDate = static_cast<int32_t>(LittleEndian::read32(record + InstallationDateOffset));
    info.systemId = static_cast<int32_t>(LittleEndian::read32(record + SystemIdOffset));
    return info;
}

PrinterInfo PrinterInfo::unnamed()
{
    PrinterInfo info;
    std::strcpy(info.name, "Unnamed printer");
    return info;
}

std::string PrinterInfo::text(const char *field, size_t size)
{
    const char *end = static_cast<const char *>(std::memchr(field, 0, size));
    return std::string(field, end ? static_cast<size_t>(end - field) : size);
}
