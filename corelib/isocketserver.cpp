#include "isocketserver.h"

#include "activitycounter.h"
#include "logmanager.h"
#include "platform.h"
#include "stringutils.h"

#include <chrono>
#include <system_error>

ISocketServer::ISocketServer(const std::string &name) : Socket(name) {}

ISocketServer::ISocketServer(const ISocketServer &other)
    : Socket(other), maxConnections(other.maxConnections), listenerName(other.listenerName)
{
}

ISocketServer::~ISocketServer()
{
    stopAccepting();
}

void ISocketServer::stopAccepting()
{
    close();
    if (acceptThread_.joinable())
        acceptThread_.join();
}

void ISocketServer::startThread(std::function<void()> body)
{
    std::thread(std::move(body)).detach();
}

std::shared_ptr<ISocketServer> ISocketServer::makeCopy() const
{
    return std::dynamic_pointer_cast<ISocketServer>(clone());
}

void ISocketServer::serve(const std::shared_ptr<ISocketServer> &copy)
{
    try {
        copy->onRun();
    } catch (const std::exception &error) {
        ORVEL_LOG(Error, formatString("Unhandled exception in server%s: %s", copy->nameSuffix().c_str(), error.what()));
    } catch (...) {
        ORVEL_LOG(Error, formatString("Unhandled exception in server%s", copy->nameSuffix().c_str()));
    }
}

bool ISocketServer::createServer(uint16_t port)
{
    stopAccepting();
    SocketHandle handle = SocketHandle::createStream();
    setHandle(handle);
    if (handle.isOpen()) {
        handle.setReuseAddress();
        applyTimeouts();
    }
    if (!bind(0, port)) {
        close();
        ORVEL_LOG(Debug, formatString("bind() failed on port %d", port));
        return false;
    }
    if (!handle.listen(5)) {
        close();
        ORVEL_LOG(Debug, formatString("listen() failed on port %d", port));
        return false;
    }
    std::shared_ptr<ISocketServer> acceptor = makeCopy();
    if (!acceptor) {
        close();
        ORVEL_LOG(Error, "Internal error (server clone failed)");
        return false;
    }
    try {
        acceptThread_ = std::thread([acceptor] {
            try {
                acceptor->acceptingThread(true);
            } catch (const std::exception &error) {
                ORVEL_LOG(Error, formatString("Unhandled exception in accepting thread: %s", error.what()));
            }
            // The clone shares the listening handle with the server: hand it
            // back without closing it.
            acceptor->takeHandle();
        });
    } catch (const std::system_error &error) {
        acceptor->takeHandle();
        close();
        ORVEL_LOG(Error, formatString("Cannot start the accepting thread on port %d: %s", port, error.what()));
        return false;
    }
    return true;
}

void ISocketServer::acceptingThread(bool spawn)
{
    const SocketHandle listening = sharedHandle();
    // One token per connection being served; the tokens outlive this thread.
    ActivityCounter connections;
    bool atLimit = false;  // the present burst has been warned of
    for (;;) {
        SocketHandle::AcceptFailure failure = SocketHandle::AcceptFailure::None;
        SocketHandle accepted = listening.accept(failure);
        if (!accepted.isOpen()) {
            if (failure == SocketHandle::AcceptFailure::Retry)
                continue;
            if (failure == SocketHandle::AcceptFailure::Exhausted) {
                // Out of descriptors or memory, for example under a flood of
                // connections: wait a moment instead of giving the port up.
                ORVEL_LOG(Debug, formatString("accept() failed temporarily: %s",
                                              Platform::instance().getErrorString(1).c_str()));
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            ORVEL_LOG(Debug, "accept() failed");
            return;
        }
        if (maxConnections > 0 && connections.count() >= static_cast<int>(maxConnections)) {
            if (!atLimit) {
                atLimit = true;
                ORVEL_LOG(Warning, formatString("%s on port %d reached its limit of %u connections, further "
                                                "connections are closed",
                                                listenerName.c_str(), listening.localPort(), maxConnections));
            }
            accepted.close();
            continue;
        }
        atLimit = false;
        std::shared_ptr<ISocketServer> copy = makeCopy();
        if (!copy) {
            accepted.close();
            continue;
        }
        copy->setHandle(std::move(accepted));
        copy->applyTimeouts();
        ActivityCounter::Token slot = connections.acquire();
        if (!spawn) {
            serve(copy);
            continue;
        }
        try {
            // The clone goes before its slot is given back.
            startThread([copy, slot]() mutable {
                serve(copy);
                copy.reset();
                slot.release();
            });
        } catch (const std::system_error &error) {
            ORVEL_LOG(Warning, formatString("Connection dropped%s: cannot start a thread for it (%s)",
                                            nameSuffix().c_str(), error.what()));
        }
    }
}

bool ISocketServer::createBroadcastServer(uint16_t port)
{
    stopAccepting();
    if (!openDatagram() || !bind(0, port)) {
        close();
        ORVEL_LOG(Debug, formatString("bind() failed on port %d", port));
        return false;
    }
    if (!enableBroadcast()) {
        close();
        ORVEL_LOG(Debug, formatString("setsockopt(SO_BROADCAST) failed on port %d", port));
        return false;
    }
    std::shared_ptr<ISocketServer> copy = makeCopy();
    if (!copy) {
        close();
        return false;
    }
    copy->applyTimeouts();
    try {
        startThread([copy] { serve(copy); });
    } catch (const std::system_error &error) {
        copy->takeHandle();
        close();
        ORVEL_LOG(Error, formatString("Cannot start the service thread on port %d: %s", port, error.what()));
        return false;
    }
    return true;
}
