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
    virtual std::shared_ptr<Socket> createSocket(const std::string &name, SocketHandle handle = SocketHandle());

    // Drops the entries whose Socket no longer exists.
    void removeExpired();
    // Closes every registered Socket that still exists and empties the registry.
    void closeAll();
    // How many entries the registry holds (live or not yet removed).
    size_t registeredCount() const;

private:
    mutable std::mutex mutex_;  // guards sockets_
    std::vector<std::weak_ptr<Socket>> sockets_;
};
