#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class SocketHandle;

// One TLS connection, client side, over a connected socket handle, made by
// TlsClient::handshake once the server's certificate passed; the Socket that
// holds it reads and writes through it from then on. Implemented once per
// platform seam (tlsopenssl.cpp with OpenSSL, tlsunavailable.cpp where the
// build has no TLS library).
//
// Ownership: held by shared pointers, by the Socket and, for the length of
// each call, by the thread inside it: a Socket closed from another thread
// drops its pointer, while the stream (and the socket number it holds) lives
// until the blocked call has returned. Closing the socket handle wakes a
// thread blocked in read or write at once, as on a plain socket.
//
// Thread-safety: the stream has no lock; one thread at a time reads or
// writes (TLS keeps one state for both directions). The relay and the session
// each use their streams from their one thread.
class TlsStream {
public:
    struct State;
    explicit TlsStream(std::unique_ptr<State> state);
    ~TlsStream();
    TlsStream(const TlsStream &) = delete;
    TlsStream &operator=(const TlsStream &) = delete;

    // Plain bytes read (one record at most); 0 at the end of the peer's
    // stream; NothingYet when the record taken carried no data (a session
    // ticket, a key update), so that a relay can go back to its wait; -1 on
    // a failure, with `timedOut` set when it was the socket's receive
    // time-out (the stream stays usable then). Blocks only while the socket
    // has nothing, or part of a record.
    long read(void *buffer, size_t size, bool &timedOut);
    static constexpr long NothingYet = -2;
    // Plain bytes taken (possibly fewer than `size`), or -1.
    long write(const void *data, size_t size);
    // Plain bytes already decrypted and waiting: a reader must take them
    // before it waits on the socket, which will not tell about them.
    size_t pending() const;
    // Tells the peer the end of our stream (close_notify) and shuts down the
    // socket's sending half.
    bool shutdownSend();
    // The socket error of the last failed read or write, for log lines.
    int lastError() const;

    // The server certificate's subject ("CN=...,O=..."), its expiry (seconds
    // since 1970, UTC) and the protocol agreed ("TLSv1.3").
    const std::string &peerSubject() const;
    int64_t peerExpiry() const;
    const std::string &protocol() const;

    // The most memory one stream ties up in its own buffers (one record in
    // each direction, with the cipher's overhead); the relay counts it in its
    // bound.
    static constexpr size_t HeldBytesBound = 48 * 1024;

private:
    std::unique_ptr<State> state_;
};
