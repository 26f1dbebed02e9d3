#include "sessionloop.h"

#include "logmanager.h"
#include "stringutils.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// The password file is read in pieces of at most this size.
constexpr uint32_t PasswordPieceSize = 64 * 1024;

} // namespace

SessionLoop::SessionLoop(Host &host, std::string name) : host_(host), name_(std::move(name)) {}

void SessionLoop::run()
{
    SessionProtocol::GatewayRequest request{};
    bool tolerateTimeout = true;
    bool serverAnswered = false;
    while (host_.mayGoOn()) {
        host_.beforeRead();
        const int result = host_.read(request.data(), static_cast<uint32_t>(request.size()));
        if (result == 0 && tolerateTimeout) {
            ORVEL_LOG(Debug, formatString("Printer '%s' gateway timeout", name_.c_str()));
            tolerateTimeout = false;
            continue;
        }
        if (result <= 0) {
            ORVEL_LOG(Debug, formatString("Printer '%s' connection lost from gateway: %s", name_.c_str(),
                                          host_.errorText().c_str()));
            return;
        }
        tolerateTimeout = true;
        if (!serverAnswered) {
            host_.serverAnswered();
            serverAnswered = true;
        }
        switch (SessionProtocol::messageType(request)) {
        case SessionProtocol::WVT_OPEN_TUNNEL:
            host_.openTunnel(request);
            break;
        case SessionProtocol::WVT_SERVER_KEEPALIVE:
            if (!answerKeepAlive(request))
                return;
            break;
        default:
            break;
        }
    }
}

bool SessionLoop::answerKeepAlive(SessionProtocol::GatewayRequest &request)
{
    ORVEL_LOG(Debug, formatString("Printer '%s' WVT_SERVER_KEEPALIVE", name_.c_str()));
    const int64_t version = SessionProtocol::passwordVersion(request);
    const bool wantsPasswords = version > lastPasswordVersion_;
    if (wantsPasswords)
        lastPasswordVersion_ = version;
    host_.makeKeepAliveReply(request,
                             wantsPasswords ? SessionProtocol::WVT_GET_PASSWORDS : SessionProtocol::WVT_KEEPALIVE_REPLY);
    if (!host_.write(request.data(), static_cast<uint32_t>(request.size()))) {
        ORVEL_LOG(Debug, formatString("Printer '%s' keep alive reply failure", name_.c_str()));
        return false;
    }
    return !wantsPasswords || receivePasswordFile();
}

bool SessionLoop::receivePasswordFile()
{
    std::array<unsigned char, SessionProtocol::LengthSize> lengthField{};
    if (host_.read(lengthField.data(), static_cast<uint32_t>(lengthField.size())) < 1) {
        ORVEL_LOG(Debug, formatString("Printer '%s' get passwords reply failure (len)", name_.c_str()));
        return false;
    }
    const uint32_t length = SessionProtocol::passwordLength(lengthField);
    if (length == 0)
        return true;
    // The bytes of a refused file are never read, so the stream cannot be
    // followed any further.
    if (length > SessionProtocol::MaxPasswordFileSize) {
        ORVEL_LOG(Warning, formatString("Printer '%s' get passwords reply refused: length %u above %u bytes",
                                        name_.c_str(), length, SessionProtocol::MaxPasswordFileSize));
        return false;
    }
    // The file grows as its bytes arrive, so that a server that announces a
    // large file and sends less costs no more memory than what it sent.
    std::vector<unsigned char> file;
    while (file.size() < length) {
        const size_t offset = file.size();
        const uint32_t piece = std::min<uint32_t>(PasswordPieceSize, length - static_cast<uint32_t>(offset));
        file.resize(offset + piece);
        if (host_.read(file.data() + offset, piece) < 1) {
            ORVEL_LOG(Debug, formatString("Printer '%s' get passwords reply failure (data)", name_.c_str()));
            return false;
        }
    }
    if (host_.deliverPasswordFile(file.data(), length))
        ORVEL_LOG(Debug, formatString("Printer '%s' password file updated", name_.c_str()));
    return true;
}
