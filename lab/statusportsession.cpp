#include "statusportsession.h"

#include "socketio.h"

#include <sys/socket.h>

#include <cerrno>
#include <vector>

StatusPortSession::StatusPortSession(int fd, const sockaddr_in& peer,
                                     const PrinterConfig& config, Report& report)
    : fd_(fd), peer_(peer), config_(config), report_(report)
{
}

void StatusPortSession::run()
{
    const std::string who = Report::field("printer", config_.addressText);
    const std::string from = Report::field("from", socketio::endpointText(peer_));
    report_.event("status-connect" + who + from);
    for (;;) {
        unsigned char code = 0;
        ssize_t n = ::recv(fd_, &code, 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        report_.event("status-command" + who + Report::field("code", code) + from);
        bool ok = true;
        if (code == kPrinterInfoCommand)
            ok = sendInfo();
        else if (code == kBackupCommand)
            ok = sendBackup();
        if (!ok)
            break;
    }
    report_.event("status-close" + who + from);
}

bool StatusPortSession::sendInfo()
{
    const std::vector<std::uint8_t> answer = config_.infoAnswer();
    if (!socketio::sendAll(fd_, answer.data(), answer.size()))
        return false;
    report_.event("status-answer" + Report::field("printer", config_.addressText) +
                  Report::field("code", kPrinterInfoCommand) +
                  Report::field("length", config_.infoLength) +
                  Report::field("bytes", static_cast<long long>(answer.size())));
    return true;
}

bool StatusPortSession::sendBackup()
{
    const std::uint32_t size = config_.backupSize;
    const unsigned char header[4] = {
        static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
        static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 24)};
    if (!socketio::sendAll(fd_, header, sizeof header))
        return false;

    // The pattern repeats every 256 bytes, so one chunk whose length is a
    // multiple of 256 serves for every position of the stream.
    static_assert(65536 % 256 == 0, "chunk must hold whole pattern periods");
    std::vector<std::uint8_t> chunk(65536);
    for (std::size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = PrinterConfig::backupByte(i);
    std::uint64_t left = size;
    while (left > 0) {
        const std::size_t n = left < chunk.size() ? static_cast<std::size_t>(left)
                                                  : chunk.size();
        if (!socketio::sendAll(fd_, chunk.data(), n))
            return false;
        left -= n;
    }
    report_.event("status-answer" + Report::field("printer", config_.addressText) +
                  Report::field("code", kBackupCommand) +
                  Report::field("size", static_cast<long long>(size)) +
                  Report::field("bytes", static_cast<long long>(size) + 4));
    return true;
}
