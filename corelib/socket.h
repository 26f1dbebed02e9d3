#pragma once

#include "iclonable.h"
#include "object.h"
#include "sockethandle.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class TlsClient;
class TlsStream;

// The library's one wrapper of an IPv4 socket: blocking TCP connect,
// exact-length or single-shot reads, complete writes, name resolution, the
// endpoint queries, and the datagram calls of discovery. Failures are results
// (false, 0, -1) plus Debug log lines; nothing throws.
//
// Ownership: usually created by SocketsManager::createSocket and held through
// a shared pointer. Copies and clones share the handle: the first of them to
// be closed or destroyed closes it for all.
//
// Thread-safety: one thread reads and one thread writes at a time (once TLS
// runs, one thread at a time for both: TLS keeps one state); close()
// may be called from any other thread to abort a blocked call, after which
// handle() is -1 and every later call fails. handleMutex_ guards handle_ only
// and is never held across a system call. handleMutex_ also guards tls_; a
// read or write takes its own reference to the stream, so a close() from
// another thread never frees a stream a call is still inside.
class Socket : public Object, public IClonable {
public:
    explicit Socket(const std::string &name = std::string(), SocketHandle handle = SocketHandle());
    Socket(const Socket &other);
    Socket &operator=(const Socket &) = delete;
    ~Socket() override;

    std::shared_ptr<IClonable> clone() const override;

    // Shuts down both directions and closes the handle. The object stays
    // closed: a later connect fails too (a thread that raced with the close
    // must not open a new socket nobody can wake), until an owner gives it a
    // handle again with setHandle or openDatagram.
    void close();
    // Sets the two time-outs on the open handle.
    void applyTimeouts();

    // Connects within connectTimeout; a failure (refused, unreachable, timed
    // out, or a close() from another thread) leaves no handle.
    bool connect(uint32_t address, uint16_t port);
    bool connect(const std::string &host, uint16_t port);
    // Runs the TLS handshake on the connected socket, expecting the server
    // certificate to carry `serverName`; bounded by handshakeTimeout, ended at
    // once by close(). Nothing else is sent before it succeeded. On failure
    // one Warning line names the reason (the certificate's, or the
    // connection's) and the socket is closed.
    bool startTls(const TlsClient &client, const std::string &serverName);
    // The TLS stream once startTls succeeded; empty for a plain socket.
    std::shared_ptr<TlsStream> tlsStream() const;

    // Dotted text without the resolver, else the resolver's first IPv4
    // address, in host order; 0 on failure.
    static uint32_t resolveHost(const std::string &host);

    // Bytes read; 0 when the receive time-out ran out; -1 on an error or a
    // closed connection. With `all` it reads exactly `size` bytes. When
    // `endOfStream` is given it tells whether a -1 came from the peer ending
    // its stream in order (it shut down its sending half or closed).
    int read(void *buffer, uint32_t size, bool all, bool *endOfStream = nullptr);
    // Writes everything (a `size` of 0 means the zero-terminated text of
    // `data`); returns the count, or -1.
    int write(const void *data, uint32_t size);

    // Shuts down the sending half only: the peer reads the end of the stream
    // and may still send. False when the socket is not open or not connected.
    bool shutdownSend();

    bool getPeerEndpoint(uint32_t &address, uint16_t &port) const;
    uint16_t getLocalPort() const;
    // " (name)" for a named socket, else empty: the end of its log lines.
    std::string nameSuffix() const;

    // The system's number for the socket, or -1 when the object holds no open
    // socket; for logs and tests.
    long long handle() const;
    // The shared handle, for a relay that waits on it.
    SocketHandle sharedHandle() const;
    // Hands the handle on without closing it; the object then holds none.
    SocketHandle takeHandle();
    // Holds `handle` from now on; a handle held before is let go, not closed.
    void setHandle(SocketHandle handle);

    // Datagram calls. openDatagram replaces the handle by a new UDP socket.
    bool openDatagram();
    bool bind(uint32_t address, uint16_t port);
    bool enableBroadcast();
    // Makes datagrams to broadcast and unicast destinations leave through the
    // interface with this system index.
    bool setOutgoingInterface(unsigned interfaceIndex);
    int sendTo(const void *data, uint32_t size, uint32_t address, uint16_t port);
    // The datagram's length (0 for an empty one) with its sender, or -1 on a
    // failure, including a socket closed while it waited.
    int receiveFrom(void *buffer, uint32_t size, uint32_t &address, uint16_t &port);
    // 1 when readable (or closed), 0 when the time ran out, -1 on failure.
    int waitReadable(unsigned milliseconds);

    // How long a connect waits for the peer unless its owner chose otherwise:
    // long enough for a distant server, short enough that a host that drops
    // the handshake does not hold a session for the system's two minutes.
    static constexpr uint32_t DefaultConnectTimeoutMs = 10000;

    std::string name;
    uint32_t receiveTimeout = 0;  // milliseconds; 0 waits for ever
    uint32_t sendTimeout = 0;     // milliseconds; 0 waits for ever
    uint32_t connectTimeout = DefaultConnectTimeoutMs;  // milliseconds; 0 waits for ever
    // The longest wait for each step of a TLS handshake (milliseconds; 0
    // waits for ever): through a gateway it includes the gateway's own
    // connect to the server.
    uint32_t handshakeTimeout = DefaultConnectTimeoutMs;

private:
    SocketHandle currentHandle() const;
    // Closes the handle without marking the object closed.
    void closeHandle();

    mutable std::mutex handleMutex_;  // guards handle_, closed_ and tls_
    SocketHandle handle_;
    bool closed_ = false;
    std::shared_ptr<TlsStream> tls_;  // set by startTls; dropped with the handle
};
