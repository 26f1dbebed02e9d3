// A printer's answer to TQ_PRINTERINFO_CMD on its status port, as the
// printer thread reads it (the 2-byte length, then the payload), and what the
// bridge makes of the identity: the front ends' details, the backup file
// name and the session's registration and keep-alive reply.
#include "fuzzcheck.h"
#include "printerdetails.h"
#include "printerinfo.h"
#include "printerprotocol.h"
#include "remoteprinter.h"
#include "sessionprotocol.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

void checkText(const std::string &text, size_t fieldSize)
{
    FUZZ_CHECK(text.size() <= fieldSize);
    FUZZ_CHECK(text.find('\0') == std::string::npos);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < PrinterProtocol::InfoLengthSize)
        return 0;  // the read of the length fails
    const size_t length = PrinterProtocol::infoPayloadLength(data);
    FUZZ_CHECK(length <= 32767);
    const uint8_t *payload = data + PrinterProtocol::InfoLengthSize;
    const size_t available = size - PrinterProtocol::InfoLengthSize;
    PrinterInfo info;
    if (length == 0) {
        info = PrinterInfo::unnamed();
    } else {
        if (available < length)
            return 0;  // the read of the payload fails
        info = PrinterInfo::fromPayload(payload, length);
    }

    const PrinterDetails details = PrinterDetails::from(0x7F000001u, info, 0, 0);
    checkText(details.name, sizeof info.name);
    checkText(details.model, sizeof info.model);
    checkText(details.status, sizeof info.status);
    checkText(details.serial, sizeof info.serial);
    checkText(details.version, sizeof info.version);
    checkText(details.orderNumber, sizeof info.orderNumber);
    FUZZ_CHECK(!details.text().empty());

    const std::string fileName = RemotePrinter::sanitiseFileName(details.name);
    FUZZ_CHECK(fileName.size() == details.name.size());
    FUZZ_CHECK(fileName.find_first_of("\\/<>:\"|?*") == std::string::npos);
    RemotePrinter::isAlternateModel(details.model);

    const SessionProtocol::GatewayRequest request = SessionProtocol::registerRequest(info);
    FUZZ_CHECK(SessionProtocol::messageType(request) == SessionProtocol::WVT_REGISTER);
    FUZZ_CHECK(request[33] == 0);  // the name's field always ends with a NUL
    FUZZ_CHECK(std::memcmp(request.data() + 2, details.name.data(), std::min<size_t>(details.name.size(), 31)) == 0);
    const SessionProtocol::GatewayData registration = SessionProtocol::registrationData(info, "Linux (x86_64)");
    FUZZ_CHECK(std::memcmp(registration.data(), details.status.data(), details.status.size()) == 0);

    // A keep-alive reply carries the status and a NUL; the rest is untouched.
    SessionProtocol::GatewayRequest keepAlive;
    for (size_t i = 0; i < keepAlive.size(); ++i)
        keepAlive[i] = static_cast<unsigned char>(0xA0 + i);
    SessionProtocol::makeKeepAliveReply(keepAlive, SessionProtocol::WVT_KEEPALIVE_REPLY, info);
    FUZZ_CHECK(std::memcmp(keepAlive.data() + 2, details.status.data(), details.status.size()) == 0);
    FUZZ_CHECK(keepAlive[2 + details.status.size()] == 0);
    for (size_t i = 3 + details.status.size(); i < keepAlive.size(); ++i)
        FUZZ_CHECK(keepAlive[i] == static_cast<unsigned char>(0xA0 + i));
    return 0;
}
