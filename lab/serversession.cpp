#include "serversession.h"

#include "fnv1a.h"
#include "simulatedserver.h"
#include "socketio.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

// A message that has begun must be complete within this time.
const int kReceiveTimeoutMs = 30000;
const std::size_t kPasswordChunk = 65536;

std::chrono::steady_clock::duration seconds(double s)
{
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(s));
}

void putUint32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

ServerSession::ServerSession(int fd, const sockaddr_in& peer, std::uint32_t id,
                             const ServerConfig& config, SimulatedServer& server,
                             Report& report)
    : fd_(fd), peer_(peer), id_(id), config_(&config), server_(server), report_(report)
{
}

std::string ServerSession::head(const char* event) const
{
    return event + Report::field("session", static_cast<long long>(id_)) +
           Report::field("name", name_);
}

void ServerSession::run(const std::uint8_t* first)
{
    socketio::setReceiveTimeout(fd_, kReceiveTimeoutMs);
    report_.event("server-session" + Report::field("session", static_cast<long long>(id_)) +
                  Report::field("from", socketio::endpointText(peer_)));
    std::string reason;
    if (!receiveRegistration(first)) {
        reason = "incomplete-registration";
    } else {
        config_ = &config_->configFor(name_);
        if (config_->randomBytes >= 0)
            reason = sendRandomBytes();
        // Every deadline counts from the end of the registration.
        const Clock::time_point start = Clock::now();
        const Clock::time_point never = Clock::time_point::max();
        Clock::time_point nextKeepAlive = start + seconds(config_->keepalive);
        Clock::time_point nextTunnel =
            config_->tunnelPort >= 0 ? start + seconds(config_->tunnelAfter) : never;
        const Clock::time_point silentAt =
            config_->silentAfter >= 0 ? start + seconds(config_->silentAfter) : never;
        const Clock::time_point closeAt =
            config_->closeAfter >= 0 ? start + seconds(config_->closeAfter) : never;
        bool silent = false;
        while (reason.empty()) {
            Clock::time_point now = Clock::now();
            if (now >= closeAt) {
                reason = "close-after";
                break;
            }
            if (!silent && now >= silentAt) {
                silent = true;
                report_.event(head("server-silent"));
            }
            // Nothing is sent while a keep-alive waits for its reply.
            if (!silent && !awaitingReply_ && now >= nextKeepAlive) {
                if (!sendKeepAlive()) {
                    reason = "send-failed";
                    break;
                }
                nextKeepAlive = keepAliveSentAt_ + seconds(config_->keepalive);
                continue;
            }
            if (!silent && !awaitingReply_ && now >= nextTunnel) {
                if (!sendTunnelRequest()) {
                    reason = "send-failed";
                    break;
                }
                nextTunnel = config_->tunnelEvery > 0 ? now + seconds(config_->tunnelEvery) : never;
                continue;
            }

            Clock::time_point wake = closeAt;
            if (!silent) {
                wake = std::min(wake, silentAt);
                if (!awaitingReply_)
                    wake = std::min({wake, nextKeepAlive, nextTunnel});
            }
            int timeout = -1;
            if (wake != never) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now);
                // Round up, so that the deadline has passed when poll returns.
                timeout = static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30));
            }
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, timeout);
            if (ready < 0 && errno != EINTR) {
                reason = "error";
                break;
            }
            if (ready > 0)
                receiveMessage(reason);
        }
    }
    if (server_.stopping())
        reason = "stopped";
    report_.event(head("server-session-end") + Report::field("reason", reason) +
                  Report::field("keepalives", static_cast<long long>(keepAlives_)) +
                  Report::field("replies", static_cast<long long>(replies_)));
    // The bridge sees the end at once, not when the thread is collected.
    ::shutdown(fd_, SHUT_RDWR);
}

bool ServerSession::receiveRegistration(const std::uint8_t* first)
{
    std::uint8_t record[wvt::kRegistrationSize] = {};
    const std::size_t got = socketio::recvAll(fd_, record, sizeof record);
    const wvt::Registration r = wvt::parseRegistration(first, record);
    name_ = r.name;
    std::vector<std::string> problems = r.problems;
    if (got < sizeof record)
        problems.insert(problems.begin(), "short-record");

    // Bytes that already wait behind the registration count among the first
    // bytes: the bridge is to send exactly 188 before it reads anything.
    std::uint8_t extra[4096];
    const ssize_t pending = got < sizeof record
                                ? 0
                                : ::recv(fd_, extra, sizeof extra, MSG_PEEK | MSG_DONTWAIT);
    const long long firstBytes = static_cast<long long>(wvt::kMessageSize + got) +
                                 (pending > 0 ? pending : 0);

    std::string problemText;
    for (const std::string& p : problems)
        problemText += (problemText.empty() ? "" : ",") + p;
    std::string line = head("server-register") + Report::field("model", r.model) +
                       Report::field("status", r.status) + Report::field("version", r.version) +
                       Report::field("serial", r.serial) + Report::field("order", r.order) +
                       Report::field("installed", r.installed) +
                       Report::field("system-id", r.systemId) +
                       Report::field("protocol", r.protocol) +
                       Report::field("platform", r.platform) +
                       Report::field("valid", problems.empty() ? "yes" : "no");
    if (!problems.empty())
        line += Report::field("problems", problemText);
    // The bytes as they came, so that a test can compare every one of them.
    std::string hex;
    char byte[3];
    for (std::size_t i = 0; i < wvt::kMessageSize + got; ++i) {
        std::snprintf(byte, sizeof byte, "%02x", i < wvt::kMessageSize ? first[i] : record[i - wvt::kMessageSize]);
        hex += byte;
    }
    report_.event(line + Report::field("first-bytes", firstBytes) + Report::field("hex", hex));
    return got == sizeof record;
}

std::string ServerSession::sendRandomBytes()
{
    // splitmix64 of the session number and a counter: each session gets its
    // own bytes, and a run can be repeated.
    std::vector<std::uint8_t> chunk(65536);
    std::uint64_t state = id_;
    const std::uint64_t total = static_cast<std::uint64_t>(config_->randomBytes);
    std::uint64_t sent = 0;
    bool ok = true;
    while (ok && sent < total) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), total - sent));
        for (std::size_t k = 0; k < n; k += 8) {
            std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            z ^= z >> 31;
            for (std::size_t b = 0; b < 8 && k + b < n; ++b)
                chunk[k + b] = static_cast<std::uint8_t>(z >> (8 * b));
        }
        ok = socketio::sendAll(fd_, chunk.data(), n);
        if (ok)
            sent += n;
    }
    report_.event(head("server-random") + Report::field("bytes", static_cast<long long>(total)) +
                  Report::field("sent", static_cast<long long>(sent)));
    return ok ? "random-bytes" : "send-failed";
}

bool ServerSession::sendKeepAlive()
{
    const std::int64_t version = config_->versionOfKeepAlive(keepAlives_);
    lastKeepAlive_ = wvt::keepAlive(version, config_->keepaliveFill);
    // Taken before the send: a thread put aside between the send and the
    // reading of the clock would make the reply look quicker than it was.
    const Clock::time_point sentAt = Clock::now();
    if (!socketio::sendAll(fd_, lastKeepAlive_.data(), lastKeepAlive_.size()))
        return false;
    keepAliveSentAt_ = sentAt;
    awaitingReply_ = true;
    ++keepAlives_;
    report_.event(head("server-keepalive") + Report::field("version", version) +
                  Report::field("number", static_cast<long long>(keepAlives_)));
    return true;
}

bool ServerSession::receiveMessage(std::string& endReason)
{
    std::uint8_t message[wvt::kMessageSize];
    const std::size_t got = socketio::recvAll(fd_, message, sizeof message);
    if (got == 0) {
        endReason = "closed";
        return false;
    }
    if (got < sizeof message) {
        report_.event(head("server-message") + Report::field("bytes", static_cast<long long>(got)) +
                      " result=incomplete");
        endReason = "short-message";
        return false;
    }
    const int type = wvt::messageType(message);
    if (!awaitingReply_ || (type != wvt::kKeepAliveReply && type != wvt::kGetPasswords)) {
        report_.event(head("server-message") + Report::field("type", type) +
                      Report::field("bytes", static_cast<long long>(got)) + " result=unexpected");
        return true;
    }
    awaitingReply_ = false;
    ++replies_;
    const wvt::ReplyCheck check = wvt::checkReply(lastKeepAlive_, message);
    const std::int64_t version = config_->versionOfKeepAlive(keepAlives_ - 1);
    // The bridge asks for the file when the version is newer than the one
    // it last asked for in this session.
    const int expected = version > bridgeVersion_ ? wvt::kGetPasswords : wvt::kKeepAliveReply;
    const long long afterMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  Clock::now() - keepAliveSentAt_).count();
    std::string line = head("server-reply") + Report::field("type", type) +
                       Report::field("expected", expected) + Report::field("status", check.status) +
                       Report::field("echo", check.echo);
    if (check.changedAt >= 0)
        line += Report::field("changed-at", check.changedAt);
    report_.event(line + Report::field("version", version) + Report::field("after-ms", afterMs));
    if (type == wvt::kGetPasswords) {
        bridgeVersion_ = version;
        if (!sendPasswords()) {
            endReason = "send-failed";
            return false;
        }
    }
    return true;
}

bool ServerSession::sendPasswords()
{
    const std::uint64_t size = config_->passwordFileSize();
    const std::uint64_t announced =
        config_->passwordLength >= 0 ? static_cast<std::uint64_t>(config_->passwordLength) : size;
    const std::uint64_t toSend = std::min(size, announced);
    std::uint8_t length[4];
    putUint32(length, static_cast<std::uint32_t>(announced));
    bool ok = socketio::sendAll(fd_, length, sizeof length);
    Fnv1a hash;
    std::uint64_t sent = 0;
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(toSend, kPasswordChunk)));
    while (ok && sent < toSend) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(toSend - sent, chunk.size()));
        config_->passwordBytes(sent, chunk.data(), n);
        ok = socketio::sendAll(fd_, chunk.data(), n);
        if (ok) {
            hash.update(chunk.data(), n);
            sent += n;
        }
    }
    report_.event(head("server-passwords") + Report::field("size", static_cast<long long>(announced)) +
                  Report::field("sent", static_cast<long long>(sent)) +
                  Report::field("fnv1a", hash.text()) +
                  Report::field("result", ok ? "ok" : "failed"));
    return ok;
}

bool ServerSession::sendTunnelRequest()
{
    wvt::Message request{};
    const std::uint16_t port = static_cast<std::uint16_t>(config_->tunnelPort);
    const std::uint32_t number = server_.requestTunnel(id_, port, request);
    const bool ok = socketio::sendAll(fd_, request.data(), request.size());
    report_.event(head("server-tunnel-request") + Report::field("tunnel", static_cast<long long>(number)) +
                  Report::field("port", port) + Report::field("result", ok ? "sent" : "failed"));
    return ok;
}
