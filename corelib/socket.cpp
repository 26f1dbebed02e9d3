#include "socket.h"

#include "logmanager.h"
#include "platform.h"
#include "stringutils.h"
#include "tlsclient.h"
#include "tlsstream.h"

#include <cstring>

namespace {

constexpr int SocketSource = 1;

int errorClass(int errorNumber)
{
    return Platform::errorClassOf(errorNumber, SocketSource);
}

// One receive of a read: the bytes received (0 at the end of the stream,
// negative on a failure, TlsStream::NothingYet for a TLS record without data),
// whether the receive time-out ran out, and the failure's system error.
struct Piece {
    long received;
    bool timedOut;
    int error;
};

Piece receivePiece(const SocketHandle &handle, unsigned char *buffer, uint32_t size)
{
    const long received = handle.receive(buffer, size);
    const int error = received < 0 ? SocketHandle::lastError() : 0;
    return {received, errorClass(error) == IPlatform::TimedOut, error};
}

Piece receivePiece(TlsStream &stream, unsigned char *buffer, uint32_t size)
{
    bool timedOut = false;
    const long received = stream.read(buffer, size, timedOut);
    return {received, timedOut, received < 0 ? stream.lastError() : 0};
}

} // namespace

Socket::Socket(const std::string &name, SocketHandle handle) : name(name), handle_(std::move(handle)) {}

Socket::Socket(const Socket &other)
    : Object(), IClonable(), name(other.name), receiveTimeout(other.receiveTimeout), sendTimeout(other.sendTimeout),
      connectTimeout(other.connectTimeout), handshakeTimeout(other.handshakeTimeout), handle_(other.sharedHandle()),
      tls_(other.tlsStream())
{
}

Socket::~Socket()
{
    close();
}

std::shared_ptr<IClonable> Socket::clone() const
{
    return std::make_shared<Socket>(*this);
}

SocketHandle Socket::currentHandle() const
{
    std::lock_guard<std::mutex> lock(handleMutex_);
    return handle_;
}

SocketHandle Socket::sharedHandle() const
{
    return currentHandle();
}

long long Socket::handle() const
{
    const SocketHandle handle = currentHandle();
    return handle.isOpen() ? handle.descriptor() : -1;
}

SocketHandle Socket::takeHandle()
{
    std::lock_guard<std::mutex> lock(handleMutex_);
    SocketHandle taken = std::move(handle_);
    handle_ = SocketHandle();
    tls_.reset();
    return taken;
}

void Socket::setHandle(SocketHandle handle)
{
    std::lock_guard<std::mutex> lock(handleMutex_);
    handle_ = std::move(handle);
    tls_.reset();
    closed_ = false;
}

void Socket::closeHandle()
{
    const SocketHandle handle = takeHandle();
    handle.close();
}

void Socket::close()
{
    SocketHandle handle;
    {
        std::lock_guard<std::mutex> lock(handleMutex_);
        handle = std::move(handle_);
        handle_ = SocketHandle();
        tls_.reset();  // a call still inside the stream holds its own reference
        closed_ = true;
    }
    handle.close();
}

void Socket::applyTimeouts()
{
    const SocketHandle handle = currentHandle();
    handle.setTimeouts(receiveTimeout, sendTimeout);
}

std::string Socket::nameSuffix() const
{
    return name.empty() ? std::string() : " (" + name + ")";
}

bool Socket::connect(uint32_t address, uint16_t port)
{
    closeHandle();
    const std::string text = formatString("%s:%d", addressToString(address).c_str(), port);
    SocketHandle handle = SocketHandle::createStream();
    if (!handle.isOpen())
        return false;
    handle.setTimeouts(receiveTimeout, sendTimeout);
    bool refused = false;
    {
        std::lock_guard<std::mutex> lock(handleMutex_);
        refused = closed_;
        if (!refused)
            handle_ = handle;
    }

    if (refused || !handle.connect(address, port, connectTimeout)) {
        const int error = refused ? SocketHandle::closedError() : SocketHandle::lastError();
        closeHandle();
        handle.close();
        ORVEL_LOG(Debug, formatString("Connect to %s failed with error %d%s", text.c_str(), error, nameSuffix().c_str()));
        return false;
    }
    ORVEL_LOG(Debug, formatString("Connection to %s succeeded%s", text.c_str(), nameSuffix().c_str()));
    return true;
}

bool Socket::connect(const std::string &host, uint16_t port)
{
    const uint32_t address = resolveHost(host);
    if (address == 0)
        return false;
    return connect(address, port);
}

uint32_t Socket::resolveHost(const std::string &host)
{
    std::string reason;
    const uint32_t address = SocketHandle::resolve(host, reason);
    if (address == 0)
        ORVEL_LOG(Debug, formatString("gethostbyname failed for host '%s': %s", host.c_str(), reason.c_str()));
    return address;
}

std::shared_ptr<TlsStream> Socket::tlsStream() const
{
    std::lock_guard<std::mutex> lock(handleMutex_);
    return tls_;
}

bool Socket::startTls(const TlsClient &client, const std::string &serverName)
{
    const SocketHandle handle = currentHandle();
    uint32_t address = 0;
    uint16_t port = 0;
    handle.peerEndpoint(address, port);
    const std::string text = formatString("%s:%d", addressToString(address).c_str(), port);
    handle.setTimeouts(handshakeTimeout, handshakeTimeout);
    TlsClient::Failure failure;
    std::shared_ptr<TlsStream> stream = client.handshake(handle, serverName, failure);
    handle.setTimeouts(receiveTimeout, sendTimeout);
    bool stored = false;
    if (stream) {
        std::lock_guard<std::mutex> lock(handleMutex_);
        stored = handle_ == handle && !closed_;
        if (stored)
            tls_ = stream;
    }
    if (stored) {
        ORVEL_LOG(Debug, formatString("TLS (%s) to %s established, server certificate '%s'%s",
                                      stream->protocol().c_str(), text.c_str(), stream->peerSubject().c_str(),
                                      nameSuffix().c_str()));
        return true;
    }
    if (!handle.isOpen() || !stream) {
        // A socket closed by a stop fails its handshake as a matter of course.
        if (!handle.isOpen())
            ORVEL_LOG(Debug, formatString("TLS handshake with %s ended: socket closed%s", text.c_str(),
                                          nameSuffix().c_str()));
        else if (failure.certificate)
            ORVEL_LOG(Warning, formatString("Server certificate of %s refused: %s%s", text.c_str(),
                                            failure.reason.c_str(), nameSuffix().c_str()));
        else
            ORVEL_LOG(Warning, formatString("TLS handshake with %s failed: %s%s", text.c_str(),
                                            failure.reason.c_str(), nameSuffix().c_str()));
    }
    close();
    return false;
}

int Socket::read(void *buffer, uint32_t size, bool all, bool *endOfStream)
{
    if (endOfStream)
        *endOfStream = false;
    const std::shared_ptr<TlsStream> stream = tlsStream();
    const SocketHandle handle = stream ? SocketHandle() : currentHandle();
    auto *bytes = static_cast<unsigned char *>(buffer);
    uint32_t count = 0;
    for (;;) {
        const Piece piece = stream ? receivePiece(*stream, bytes + count, size - count)
                                   : receivePiece(handle, bytes + count, size - count);
        if (piece.received == TlsStream::NothingYet)
            continue;  // a TLS record without data: wait for the next one
        if (piece.received > 0) {
            count += static_cast<uint32_t>(piece.received);
            if (all && count < size)
                continue;
            return static_cast<int>(count);
        }
        if (piece.received == 0 && endOfStream && size > 0) {
            // An orderly end the caller asked about: no failure to log.
            *endOfStream = true;
            return -1;
        }
        if (piece.timedOut)
            return 0;
        ORVEL_LOG(Debug, formatString("Socket::read errorCode=%d, errorID=%d (count=%d, size=%d%s)",
                                      errorClass(piece.error), piece.error, static_cast<int>(count),
                                      static_cast<int>(size), stream ? ", TLS" : ""));
        return -1;
    }
}

int Socket::write(const void *data, uint32_t size)
{
    if (size == 0)
        size = static_cast<uint32_t>(std::strlen(static_cast<const char *>(data)));
    const std::shared_ptr<TlsStream> stream = tlsStream();
    const SocketHandle handle = currentHandle();
    const auto *bytes = static_cast<const unsigned char *>(data);
    uint32_t count = 0;
    while (count < size) {
        const long sent =
            stream ? stream->write(bytes + count, size - count) : handle.send(bytes + count, size - count);
        if (sent > 0) {
            count += static_cast<uint32_t>(sent);
            continue;
        }
        const int error = sent >= 0 ? 0 : (stream ? stream->lastError() : SocketHandle::lastError());
        ORVEL_LOG(Debug, formatString("Socket::write errorCode=%d, errorID=%d (count=%d, size=%d)", errorClass(error),
                                      error, static_cast<int>(count), static_cast<int>(size)));
        return -1;
    }
    return static_cast<int>(count);
}

bool Socket::shutdownSend()
{
    if (const std::shared_ptr<TlsStream> stream = tlsStream())
        return stream->shutdownSend();
    return currentHandle().shutdownSend();
}

bool Socket::getPeerEndpoint(uint32_t &address, uint16_t &port) const
{
    return currentHandle().peerEndpoint(address, port);
}

uint16_t Socket::getLocalPort() const
{
    return currentHandle().localPort();
}

bool Socket::openDatagram()
{
    close();
    SocketHandle handle = SocketHandle::createDatagram();
    setHandle(handle);
    return handle.isOpen();
}

bool Socket::bind(uint32_t address, uint16_t port)
{
    return currentHandle().bind(address, port);
}

bool Socket::enableBroadcast()
{
    return currentHandle().enableBroadcast();
}

bool Socket::setOutgoingInterface(unsigned interfaceIndex)
{
    return currentHandle().setOutgoingInterface(interfaceIndex);
}

int Socket::sendTo(const void *data, uint32_t size, uint32_t address, uint16_t port)
{
    return static_cast<int>(currentHandle().sendTo(data, size, address, port));
}

int Socket::receiveFrom(void *buffer, uint32_t size, uint32_t &address, uint16_t &port)
{
    return static_cast<int>(currentHandle().receiveFrom(buffer, size, address, port));
}

int Socket::waitReadable(unsigned milliseconds)
{
    const SocketHandle handle = currentHandle();
    const SocketHandle *handles[] = {&handle};
    bool ready = false;
    const int result = SocketHandle::waitReadable(handles, 1, static_cast<int>(milliseconds), &ready);
    return result < 0 ? -1 : (result > 0 ? 1 : 0);
}
