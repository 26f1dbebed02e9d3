#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Reads the answer to TQ_BACKUP_CMD from a printer's status connection: the
// announced size, then the content in pieces of at most ChunkSize bytes,
// each handed on as it arrives, so that a backup's memory does not grow with
// its size. It holds no connection of its own: `read` reaches the one the
// caller owns, which lets the reading be tested and fuzzed without sockets.
// Used by one thread at a time (the printer thread).
class BackupReader {
public:
    // Small, as the buffer comes from the heap (it is below the size that
    // PlatformPosix has mapped on its own), whose freed space stays resident.
    static constexpr uint32_t ChunkSize = 16 * 1024;

    // How a receive ended.
    enum class Result { Complete, TimedOut, Ended, Failed, NotStored };

    // Reads at most `size` bytes into `buffer`, as Socket::read without
    // `all`: the count, 0 when the receive time-out ran out, -1 on an error
    // or a closed connection, with `endOfStream` set when the peer ended its
    // stream in order.
    using Read = std::function<int(unsigned char *buffer, uint32_t size, bool &endOfStream)>;
    // Takes one piece of content; false refuses it (the receive ends).
    using Store = std::function<bool(const unsigned char *bytes, size_t size)>;

    // Allocates the piece buffer (may throw std::bad_alloc).
    explicit BackupReader(Read read);

    BackupReader(const BackupReader &) = delete;
    BackupReader &operator=(const BackupReader &) = delete;

    // Receives the 4-byte size field into `size`.
    Result readSize(uint32_t &size);
    // Receives exactly `size` bytes of content and hands them to `store`.
    Result readContent(uint32_t size, const Store &store);
    // How many bytes the last receive got (and stored).
    uint32_t count() const { return count_; }

private:
    Result receive(uint32_t size, const Store &store);

    const Read read_;
    std::vector<unsigned char> buffer_;
    uint32_t count_ = 0;
};
