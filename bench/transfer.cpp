#include "transfer.h"

#include "loopback.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace Transfer {

namespace {

constexpr size_t ReceiveBufferSize = 65536;

std::string countText(uint64_t value)
{
    return std::to_string(value);
}

} // namespace

UniqueFd openSession(uint16_t port, uint32_t index, bool noDelay, std::string &problem)
{
    UniqueFd socket = Loopback::connectTo(port);
    if (!socket.isOpen()) {
        problem = "cannot connect to 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        return socket;
    }
    if (noDelay)
        Loopback::setNoDelay(socket.get());
    unsigned char header[4];
    std::memcpy(header, &index, sizeof header);
    unsigned char answer = 0;
    if (!Loopback::sendAll(socket.get(), header, sizeof header) ||
        !Loopback::receiveExact(socket.get(), &answer, 1) || answer != ReadyByte) {
        problem = "connection " + std::to_string(index) + " was not set up end to end (no ready byte from the sink)";
        socket.reset();
    }
    return socket;
}

bool acceptSession(int descriptor, uint32_t &index, bool noDelay, std::string &problem)
{
    Loopback::setTimeouts(descriptor, Loopback::IoTimeoutMs);
    if (noDelay)
        Loopback::setNoDelay(descriptor);
    unsigned char header[4];
    if (!Loopback::receiveExact(descriptor, header, sizeof header)) {
        problem = "the sink got no connection index";
        return false;
    }
    std::memcpy(&index, header, sizeof header);
    if (!Loopback::sendAll(descriptor, &ReadyByte, 1)) {
        problem = "the sink could not answer ready";
        return false;
    }
    return true;
}

bool sendPattern(int descriptor, const Pattern &pattern, uint64_t size)
{
    uint64_t sent = 0;
    while (sent < size) {
        const size_t part = static_cast<size_t>(std::min<uint64_t>(size - sent, Pattern::Period));
        if (!Loopback::sendAll(descriptor, pattern.at(sent), part))
            return false;
        sent += part;
    }
    return true;
}

bool receivePattern(int descriptor, const Pattern &pattern, uint64_t size, std::string &problem)
{
    std::vector<unsigned char> buffer(ReceiveBufferSize);
    uint64_t received = 0;
    while (received < size) {
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(size - received, buffer.size()));
        const ssize_t count = Loopback::receiveSome(descriptor, buffer.data(), wanted);
        if (count <= 0) {
            problem = std::string(count == 0 ? "stream ended" : "stream failed or timed out") + " after " +
                      countText(received) + " of " + countText(size) + " bytes";
            return false;
        }
        if (!pattern.matches(received, buffer.data(), static_cast<size_t>(count))) {
            size_t first = 0;
            while (first < static_cast<size_t>(count) && buffer[first] == *pattern.at(received + first))
                ++first;
            problem = "wrong byte at offset " + countText(received + first) + " of " + countText(size);
            return false;
        }
        received += static_cast<uint64_t>(count);
    }
    return true;
}

bool receiveEnd(int descriptor, std::string &problem)
{
    unsigned char buffer[4096];
    uint64_t extra = 0;
    for (;;) {
        const ssize_t count = Loopback::receiveSome(descriptor, buffer, sizeof buffer);
        if (count == 0)
            break;
        if (count < 0) {
            problem = "the stream failed or timed out instead of ending";
            return false;
        }
        extra += static_cast<uint64_t>(count);
        if (extra > (1u << 20))
            break;  // enough to know; do not read an endless stream
    }
    if (extra > 0) {
        problem = countText(extra) + " bytes more than were sent";
        return false;
    }
    return true;
}

} // namespace Transfer
