#pragma once

#include "socket.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The registry through which the bridge creates its sockets. It keeps a weak
// reference to each, so that closeAll() can close every socket still open and
// so wake every thread blocked on one. Thread-safe: mutex_ guards sockets_
// and is held while closeAll() closes them, never while a socket is used.
class SocketsManager {
public:
    virtual ~SocketsManager() = default;

    // A new Socket holding `handle` (an empty handle for a socket not yet
    // opened), registered. Overrides may refuse with an empty pointer.
    // Entries of destroyed sockets are dropped here whenever the registry
    // has doubled since the last such sweep (at least kSweepFloor entries),
    // so that it never holds more than kSweepFloor or twice the most sockets
    // alive at once, plus one: a weak reference keeps the whole block of a
    // make_shared socket allocated.
    virtual std::shared_ptr<Socket> createSocket(const std::string &name, SocketHandle handle = SocketHandle());

    // Drops the entries whose Socket no longer exists.
    void removeExpired();
    // Closes every registered Socket that still exists and empties the registry.
    void closeAll();
    // How many entries the registry holds (live or not yet removed).
    size_t registeredCount() const;

    static constexpr size_t kSweepFloor = 64;

private:
    void removeExpiredLocked();

    mutable std::mutex mutex_;  // guards sockets_ and sweepAt_
    std::vector<std::weak_ptr<Socket>> sockets_;
    size_t sweepAt_ = kSweepFloor;  // size at which createSocket sweeps next
};
