#pragma once

#include <memory>
#include <string>

class SocketHandle;
class TlsStream;

// The client side of TLS towards the server: TLS 1.2 or newer, the server's
// chain verified against the certificates of a CA file (or the system's
// trusted store) and its name against the one expected. Made once from the
// options and shared by every connection to the server. Implemented once per
// platform seam (tlsopenssl.cpp, tlsunavailable.cpp).
//
// Thread-safe: any number of threads run handshakes at once; the object holds
// only the verification settings, which never change after construction.
class TlsClient {
public:
    // Whether this build can speak TLS at all.
    static bool available();

    // Loads the CA file's PEM certificates, or the system's trusted store
    // when `caFile` is empty. Throws Exception when the build has no TLS or
    // the file holds no certificate that can be read.
    explicit TlsClient(const std::string &caFile);
    ~TlsClient();
    TlsClient(const TlsClient &) = delete;
    TlsClient &operator=(const TlsClient &) = delete;

    // Why a handshake failed: the certificate was refused (with the reason
    // in words: "certificate expired", "unknown issuer", "name mismatch"...)
    // or the connection failed before (closed, timed out, not TLS).
    struct Failure {
        bool certificate = false;
        std::string reason;
    };

    // Runs the handshake over the connected `handle`, expecting the server
    // certificate to carry `name` (a host name or a dotted address). The
    // handle's own receive and send time-outs bound it, and a close() of the
    // handle from another thread ends it at once. Returns the stream, or
    // empty with `failure` filled; nothing but the handshake was sent.
    std::shared_ptr<TlsStream> handshake(const SocketHandle &handle, const std::string &name, Failure &failure) const;

private:
    struct Context;
    std::unique_ptr<Context> context_;
};
