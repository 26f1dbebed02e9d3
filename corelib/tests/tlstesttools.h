#pragma once

// Test helpers for TLS: a certificate authority made at test time that issues
// server certificates (any name, any validity, expired ones too), and a TLS
// server on 127.0.0.1 that runs one handler per accepted connection. Built
// on OpenSSL directly: the tests' own side of TLS, not the library's.

#include "sockettesttools.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tlstest {

using namespace sockettest;

struct KeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
    void operator()(X509 *certificate) const { X509_free(certificate); }
    void operator()(SSL_CTX *context) const { SSL_CTX_free(context); }
    void operator()(SSL *ssl) const { SSL_free(ssl); }
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Certificate = std::unique_ptr<X509, KeyFree>;

inline Key makeKey()
{
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key)
        throw std::runtime_error("cannot make a key");
    return key;
}

inline void addExtension(X509 *certificate, X509 *issuer, int nid, const std::string &value)
{
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (!extension)
        throw std::runtime_error("cannot make extension " + value);
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

// Valid from `fromSeconds` to `toSeconds` around now, signed by `issuerKey`
// (itself when `issuer` is null).
inline Certificate makeCertificate(const std::string &commonName, EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuerKey,
                                   long fromSeconds, long toSeconds, const std::string &altNames, bool authority)
{
    static std::atomic<long> serial{1};
    Certificate certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), fromSeconds);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), toSeconds);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME *name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("Orvel Test"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(certificate.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509 *const signer = issuer ? issuer : certificate.get();
    if (authority) {
        addExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(certificate.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
        addExtension(certificate.get(), signer, NID_subject_key_identifier, "hash");
    } else {
        addExtension(certificate.get(), signer, NID_basic_constraints, "CA:FALSE");
        addExtension(certificate.get(), signer, NID_subject_alt_name, altNames);
        addExtension(certificate.get(), signer, NID_ext_key_usage, "serverAuth");
    }
    if (X509_sign(certificate.get(), issuerKey, EVP_sha256()) == 0)
        throw std::runtime_error("cannot sign");
    return certificate;
}

inline std::string pem(X509 *certificate)
{
    std::unique_ptr<BIO, KeyFree> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), certificate);
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

inline void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// A server certificate with its key.
struct Identity {
    Key key;
    Certificate certificate;
};

// A certificate authority that lives for the test.
class Authority {
public:
    explicit Authority(const std::string &name = "Orvel Test CA")
        : key_(makeKey()), certificate_(makeCertificate(name, key_.get(), nullptr, key_.get(), -3600, 86400 * 30,
                                                        std::string(), true))
    {
    }

    // Valid from `fromSeconds` to `toSeconds` around now, for the names of
    // `altNames` ("DNS:tls.test,IP:127.0.0.1").
    Identity issue(const std::string &commonName, const std::string &altNames, long fromSeconds = -3600,
                   long toSeconds = 86400) const
    {
        Identity identity;
        identity.key = makeKey();
        identity.certificate = makeCertificate(commonName, identity.key.get(), certificate_.get(), key_.get(),
                                               fromSeconds, toSeconds, altNames, false);
        return identity;
    }

    std::string pem() const { return tlstest::pem(certificate_.get()); }

private:
    Key key_;
    Certificate certificate_;
};

// A TLS server on 127.0.0.1 and a system-chosen port. Each accepted
// connection is served on a thread of its own: the handshake, then
// `handler` with the established SSL (or no handshake at all when
// `handshake` is false: the endpoint that accepts and never answers).
// Records whether handshakes failed and how many plain bytes arrived before
// the handler ran. Threads are joined by the destructor, which closes every
// connection first.
class Server {
public:
    using Handler = std::function<void(SSL *ssl)>;

    Server(const Identity &identity, Handler handler, bool handshake = true)
        : context_(SSL_CTX_new(TLS_server_method())), handler_(std::move(handler)), handshake_(handshake)
    {
        SSL_CTX_use_certificate(context_.get(), identity.certificate.get());
        SSL_CTX_use_PrivateKey(context_.get(), identity.key.get());
        SSL_CTX_set_min_proto_version(context_.get(), TLS1_2_VERSION);
        accepter_ = std::thread([this] { acceptLoop(); });
    }
    ~Server()
    {
        stopping_ = true;
        listener_.handle().close();
        accepter_.join();
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const SocketHandle &connection : connections_)
                connection.close();
            threads.swap(threads_);
        }
        for (std::thread &thread : threads)
            thread.join();
    }

    uint16_t port() const { return listener_.port(); }
    int accepted() const { return accepted_; }
    int handshakesDone() const { return handshakesDone_; }
    int handshakesFailed() const { return handshakesFailed_; }
    // Plain bytes received on connections whose handshake failed: none may come.
    long bytesAfterFailure() const { return bytesAfterFailure_; }

private:
    void acceptLoop()
    {
        while (!stopping_) {
            SocketHandle::AcceptFailure failure = SocketHandle::AcceptFailure::None;
            if (!becomesReadable(listener_.handle(), 200))
                continue;
            SocketHandle connection = listener_.handle().accept(failure);
            if (!connection.isOpen())
                continue;
            ++accepted_;
            std::lock_guard<std::mutex> lock(mutex_);
            connections_.push_back(connection);
            threads_.emplace_back([this, connection] { serve(connection); });
        }
    }

    void serve(const SocketHandle &connection)
    {
        if (!handshake_) {
            // Holds the connection open and silent until it is closed.
            char byte;
            while (connection.receive(&byte, 1) > 0) {
            }
            return;
        }
        std::unique_ptr<SSL, KeyFree> ssl(SSL_new(context_.get()));
        SSL_set_fd(ssl.get(), static_cast<int>(connection.descriptor()));
        if (SSL_accept(ssl.get()) != 1) {
            ++handshakesFailed_;
            ERR_clear_error();
            // Whatever the client sends after its refusal would be protocol.
            char buffer[256];
            long received = 0;
            while ((received = connection.receive(buffer, sizeof buffer)) > 0)
                bytesAfterFailure_ += received;
            return;
        }
        ++handshakesDone_;
        handler_(ssl.get());
        SSL_shutdown(ssl.get());
    }

    Listener listener_;
    std::unique_ptr<SSL_CTX, KeyFree> context_;
    const Handler handler_;
    const bool handshake_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> handshakesDone_{0};
    std::atomic<int> handshakesFailed_{0};
    std::atomic<long> bytesAfterFailure_{0};
    std::mutex mutex_;  // guards the two below
    std::vector<SocketHandle> connections_;
    std::vector<std::thread> threads_;
    std::thread accepter_;  // made last, after everything it uses
};

// Reads from `ssl` until the end and writes every byte back.
inline void echo(SSL *ssl)
{
    char buffer[16384];
    for (;;) {
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0)
            return;
        for (int sent = 0; sent < n;) {
            const int m = SSL_write(ssl, buffer + sent, n - sent);
            if (m <= 0)
                return;
            sent += m;
        }
    }
}

} // namespace tlstest
