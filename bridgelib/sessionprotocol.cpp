#include "sessionprotocol.h"

#include "littleendian.h"

#include <algorithm>
#include <cstring>

namespace SessionProtocol {

namespace {

constexpr size_t TypeOffset = 0;
constexpr size_t NameOffset = 2;
constexpr size_t NameLength = 31;  // the 32nd byte stays 0
constexpr size_t ModelOffset = 34;
constexpr size_t ModelSize = 32;
constexpr size_t ValueOffset = 8;  // tunnel port or password version
constexpr size_t StatusOffset = 2;

// GatewayData fields.
constexpr size_t DataStatusOffset = 0;
constexpr size_t DataStatusSize = 32;
constexpr size_t DataVersionOffset = 32;
constexpr size_t DataSerialOffset = 48;
constexpr size_t DataOrderNumberOffset = 64;
constexpr size_t DataTextSize = 16;
constexpr size_t DataInstallationDateOffset = 80;
constexpr size_t DataSystemIdOffset = 84;
constexpr size_t DataProtocolOffset = 88;
constexpr size_t DataPlatformOffset = 104;

// Copies the text up to its first NUL, at most `size` bytes.
void putText(unsigned char *field, const std::string &text, size_t size)
{
    std::memcpy(field, text.data(), std::min(text.size(), size));
}

} // namespace

GatewayRequest registerRequest(const PrinterInfo &info)
{
    GatewayRequest request{};
    LittleEndian::write16(request.data() + TypeOffset, static_cast<uint16_t>(WVT_REGISTER));
    putText(request.data() + NameOffset, PrinterInfo::text(info.name), NameLength);
    putText(request.data() + ModelOffset, PrinterInfo::text(info.model), ModelSize);
    return request;
}

GatewayData registrationData(const PrinterInfo &info, const std::string &platform)
{
    GatewayData data{};
    putText(data.data() + DataStatusOffset, PrinterInfo::text(info.status), DataStatusSize);
    putText(data.data() + DataVersionOffset, PrinterInfo::text(info.version), DataTextSize);
    putText(data.data() + DataSerialOffset, PrinterInfo::text(info.serial), DataTextSize);
    putText(data.data() + DataOrderNumberOffset, PrinterInfo::text(info.orderNumber), DataTextSize);
    LittleEndian::write32(data.data() + DataInstallationDateOffset, static_cast<uint32_t>(info.installationDate));
    LittleEndian::write32(data.data() + DataSystemIdOffset, static_cast<uint32_t>(info.systemId));
    putText(data.data() + DataProtocolOffset, ProtocolVersion, DataTextSize);
    putText(data.data() + DataPlatformOffset, platform, DataTextSize);
    return data;
}

int16_t messageType(const GatewayRequest &request)
{
    return static_cast<int16_t>(LittleEndian::read16(request.data() + TypeOffset));
}

int64_t passwordVersion(const GatewayRequest &request)
{
    return static_cast<int64_t>(LittleEndian::read64(request.data() + ValueOffset));
}

uint16_t tunnelPort(const GatewayRequest &request)
{
    return LittleEndian::read16(request.data() + ValueOffset);
}

void makeKeepAliveReply(GatewayRequest &request, int16_t type, const PrinterInfo &info)
{
    LittleEndian::write16(request.data() + TypeOffset, static_cast<uint16_t>(type));
    const std::string status = PrinterInfo::text(info.status);
    putText(request.data() + StatusOffset, status, status.size());
    request[StatusOffset + status.size()] = 0;
}

uint32_t passwordLength(const std::array<unsigned char, LengthSize> &field)
{
    return LittleEndian::read32(field.data());
}

} // namespace SessionProtocol
