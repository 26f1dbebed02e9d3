#include "socketsmanager.h"

#include <algorithm>

std::shared_ptr<Socket> SocketsManager::createSocket(const std::string &name, SocketHandle handle)
{
    auto socket = std::make_shared<Socket>(name, std::move(handle));
    std::lock_guard<std::mutex> lock(mutex_);
    if (sockets_.size() >= sweepAt_) {
        removeExpiredLocked();
        sweepAt_ = std::max(kSweepFloor, 2 * sockets_.size());
    }
    sockets_.push_back(socket);
    return socket;
}

void SocketsManager::removeExpired()
{
    std::lock_guard<std::mutex> lock(mutex_);
    removeExpiredLocked();
}

void SocketsManager::removeExpiredLocked()
{
    sockets_.erase(std::remove_if(sockets_.begin(), sockets_.end(),
                                  [](const std::weak_ptr<Socket> &entry) { return entry.expired(); }),
                   sockets_.end());
}

void SocketsManager::closeAll()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &entry : sockets_) {
        if (const std::shared_ptr<Socket> socket = entry.lock())
            socket->close();
    }
    sockets_.clear();
}

size_t SocketsManager::registeredCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sockets_.size();
}
