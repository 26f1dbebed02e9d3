// The bytes a WVT server (or whatever answers in its place) sends on a
// printer's session once the registration has gone out, served by the real
// message loop; the replies are checked and discarded.
//
// Input: one control byte, then the server's byte stream. The control byte's
// low six bits give the length of the printer's status text (at most 32,
// the full field having no NUL), bit 6 makes the printer refuse password
// files, bit 7 makes the replies fail to go out after the third.
#include "fuzzcheck.h"
#include "logmanager.h"
#include "printerinfo.h"
#include "sessionloop.h"
#include "sessionprotocol.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

class FuzzHost : public SessionLoop::Host {
public:
    FuzzHost(const uint8_t *stream, size_t size, uint8_t control) : stream_(stream), size_(size)
    {
        const size_t statusLength = std::min<size_t>(control & 63, sizeof info_.status);
        std::memset(info_.status, 'S', statusLength);
        refusesFiles_ = (control & 64) != 0;
        writesFail_ = (control & 128) != 0;
    }

    bool mayGoOn() override { return ++rounds_ < 100000; }
    void beforeRead() override {}
    int read(unsigned char *buffer, uint32_t size) override
    {
        FUZZ_CHECK(size > 0);
        if (offset_ == size_)
            return 0;  // silence: the receive time-out runs out
        if (size_ - offset_ < size) {
            offset_ = size_;
            return -1;  // closed in the middle of a message
        }
        std::memcpy(buffer, stream_ + offset_, size);
        offset_ += size;
        return static_cast<int>(size);
    }
    bool write(const unsigned char *bytes, uint32_t size) override
    {
        FUZZ_CHECK(size == SessionProtocol::RequestSize);
        SessionProtocol::GatewayRequest reply;
        std::memcpy(reply.data(), bytes, size);
        const int16_t type = SessionProtocol::messageType(reply);
        FUZZ_CHECK(type == SessionProtocol::WVT_KEEPALIVE_REPLY || type == SessionProtocol::WVT_GET_PASSWORDS);
        FUZZ_CHECK(type == replyType_);
        return !writesFail_ || ++writes_ <= 3;
    }
    std::string errorText() override { return "closed"; }
    void serverAnswered() override
    {
        FUZZ_CHECK(!answered_);
        answered_ = true;
    }
    void openTunnel(const SessionProtocol::GatewayRequest &request) override
    {
        FUZZ_CHECK(SessionProtocol::messageType(request) == SessionProtocol::WVT_OPEN_TUNNEL);
        SessionProtocol::tunnelPort(request);
    }
    void makeKeepAliveReply(SessionProtocol::GatewayRequest &request, int16_t type) override
    {
        FUZZ_CHECK(SessionProtocol::messageType(request) == SessionProtocol::WVT_SERVER_KEEPALIVE);
        // The file is asked for only when the server announces a newer one
        // (the status text of the reply may cover the version's bytes).
        if (type == SessionProtocol::WVT_GET_PASSWORDS) {
            const int64_t version = SessionProtocol::passwordVersion(request);
            FUZZ_CHECK(version >= 0 && version > askedVersion_);
            askedVersion_ = version;
        } else {
            FUZZ_CHECK(type == SessionProtocol::WVT_KEEPALIVE_REPLY);
        }
        replyType_ = type;
        SessionProtocol::makeKeepAliveReply(request, type, info_);
    }
    bool deliverPasswordFile(const unsigned char *bytes, unsigned length) override
    {
        FUZZ_CHECK(length > 0 && length <= SessionProtocol::MaxPasswordFileSize);
        FUZZ_CHECK(length <= offset_ && std::memcmp(bytes, stream_ + offset_ - length, length) == 0);
        return !refusesFiles_;
    }

private:
    const uint8_t *const stream_;
    const size_t size_;
    size_t offset_ = 0;
    PrinterInfo info_;
    bool refusesFiles_ = false;
    bool writesFail_ = false;
    unsigned writes_ = 0;
    unsigned rounds_ = 0;
    bool answered_ = false;
    int64_t askedVersion_ = -1;
    int16_t replyType_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The log texts are formatted too (nothing listens to them here).
    static const bool levelSet = [] {
        LogManager::instance().setLevel(0);
        return true;
    }();
    (void)levelSet;
    FuzzHost host(data + 1, size - 1, data[0]);
    SessionLoop(host, "Fuzzed printer").run();
    return 0;
}
