#include "statusportsession.h"

#include "fnv1a.h"
#include "socketio.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
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
    long long infoAnswers = 0;
    for (;;) {
        unsigned char code = 0;
        ssize_t n = ::recv(fd_, &code, 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        report_.event("status-command" + who + Report::field("code", code) + from);
        bool ok = true;
        if (code == kPrinterInfoCommand) {
            ok = sendInfo();
            // A printer that drops its status connection now and then.
            if (ok && config_.statusCloseAfter > 0 && ++infoAnswers >= config_.statusCloseAfter) {
                ::shutdown(fd_, SHUT_RDWR);
                break;
            }
        }
        else if (code == kBackupCommand)
            ok = sendBackup();
        if (!ok)
            break;
    }
    report_.event("status-close" + who + from);
}

bool StatusPortSession::sendInfo()
{
    const double elapsed =
        std::chrono::duration<double>(Report::Clock::now() - report_.start()).count();
    const std::vector<std::uint8_t> answer = config_.infoAnswer(elapsed);
    if (!socketio::sendAll(fd_, answer.data(), answer.size()))
        return false;
    report_.event("status-answer" + Report::field("printer", config_.addressText) +
                  Report::field("code", kPrinterInfoCommand) +
                  Report::field("length", config_.infoLength) +
                  Report::field("bytes", static_cast<long long>(answer.size())) +
                  Report::field("status", config_.statusAt(elapsed)));
    return true;
}

bool StatusPortSession::sendBackup()
{
    const std::uint32_t size = config_.backupSize;
    const unsigned char header[4] = {
        static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
        static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 24)};
    // With a fault, only the first bytes of the announced content go out.
    std::uint64_t toSend = size;
    const long long fault = config_.backupCut >= 0     ? config_.backupCut
                            : config_.backupReset >= 0 ? config_.backupReset
                                                       : config_.backupStall;
    if (fault >= 0 && static_cast<std::uint64_t>(fault) < toSend)
        toSend = static_cast<std::uint64_t>(fault);

    // The content is streamed in chunks, so that its size does not matter.
    // Pattern and zero content repeat within one chunk (whose length is a
    // multiple of the pattern's 256-byte period), so it is made once.
    static_assert(kBackupChunk % 256 == 0, "chunk must hold whole pattern periods");
    std::vector<std::uint8_t> chunk(kBackupChunk);
    const bool periodic = config_.backupContent != BackupContent::Random;
    if (periodic)
        config_.backupBytes(0, chunk.data(), chunk.size());
    Fnv1a hash;
    std::uint64_t sent = 0;
    bool ok = socketio::sendAll(fd_, header, sizeof header);
    const bool headerSent = ok;
    while (ok && sent < toSend) {
        const std::uint64_t left = toSend - sent;
        const std::size_t n = left < chunk.size() ? static_cast<std::size_t>(left) : chunk.size();
        if (!periodic)
            config_.backupBytes(sent, chunk.data(), n);
        ok = socketio::sendAll(fd_, chunk.data(), n);
        if (ok) {
            hash.update(chunk.data(), n);
            sent += n;
        }
    }
    const char* result = !ok ? "failed"
                         : sent == size ? "complete"
                         : config_.backupCut >= 0   ? "cut"
                         : config_.backupReset >= 0 ? "reset"
                                                    : "stalled";
    static const char* const kContentNames[] = {"pattern", "zero", "random"};
    report_.event("status-answer" + Report::field("printer", config_.addressText) +
                  Report::field("code", kBackupCommand) +
                  Report::field("size", static_cast<long long>(size)) +
                  Report::field("bytes", static_cast<long long>(sent + (headerSent ? 4 : 0))) +
                  Report::field("content", kContentNames[static_cast<int>(config_.backupContent)]) +
                  Report::field("sent", static_cast<long long>(sent)) +
                  Report::field("fnv1a", hash.text()) + Report::field("result", result));
    if (!ok)
        return false;
    if (sent == size)
        return true;
    if (config_.backupCut >= 0) {
        // Cut: the connection ends at once, the rest never comes.
        ::shutdown(fd_, SHUT_RDWR);
        return false;
    }
    if (config_.backupReset >= 0) {
        // Reset: a zero linger time makes the close that follows the
        // session send RST instead of FIN.
        const linger abort{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        return false;
    }
    // Stall: the connection stays open and nothing more is sent; whatever
    // the peer sends is read and dropped until it closes (or the printer stops).
    char drain[4096];
    for (;;) {
        const ssize_t n = ::recv(fd_, drain, sizeof drain, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
    }
}
