// TLS with OpenSSL: the client context and the streams. The bytes go through
// a BIO of our own over the socket handle, so that every receive and send is
// the socket layer's (MSG_NOSIGNAL, EINTR retried, close() wakes a blocked
// call) and the socket's receive time-out reads as a retry, not a failure.
#include "tlsclient.h"
#include "tlsstream.h"

#include "exception.h"
#include "platform.h"
#include "sockethandle.h"
#include "stringutils.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

constexpr int SocketSource = 1;

struct SslDeleter {
    void operator()(SSL *ssl) const { SSL_free(ssl); }
    void operator()(SSL_CTX *context) const { SSL_CTX_free(context); }
    void operator()(BIO *bio) const { BIO_free(bio); }
};

// What the BIO saw at its last failed call, for the stream to tell a
// time-out from a failure.
struct BioState {
    SocketHandle handle;
    int lastError = 0;
    bool timedOut = false;
};

int bioRead(BIO *bio, char *buffer, int size)
{
    auto *state = static_cast<BioState *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    state->timedOut = false;
    const long received = state->handle.receive(buffer, static_cast<size_t>(size));
    if (received >= 0) {
        state->lastError = 0;
        return static_cast<int>(received);
    }
    state->lastError = SocketHandle::lastError();
    if (Platform::errorClassOf(state->lastError, SocketSource) == IPlatform::TimedOut) {
        // The record may go on later: OpenSSL keeps what it has and resumes.
        state->timedOut = true;
        BIO_set_retry_read(bio);
    }
    return -1;
}

int bioWrite(BIO *bio, const char *data, int size)
{
    auto *state = static_cast<BioState *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    state->timedOut = false;
    const long sent = state->handle.send(data, static_cast<size_t>(size));
    if (sent >= 0) {
        state->lastError = 0;
        return static_cast<int>(sent);
    }
    state->lastError = SocketHandle::lastError();
    state->timedOut = Platform::errorClassOf(state->lastError, SocketSource) == IPlatform::TimedOut;
    return -1;
}

long bioControl(BIO *, int command, long, void *)
{
    // OpenSSL flushes after each record; the socket layer buffers nothing.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

// The one BIO method of the process, made on first use.
BIO_METHOD *socketBioMethod()
{
    static BIO_METHOD *const method = [] {
        BIO_METHOD *made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "orvel socket");
        BIO_meth_set_read(made, bioRead);
        BIO_meth_set_write(made, bioWrite);
        BIO_meth_set_ctrl(made, bioControl);
        return made;
    }();
    return method;
}

// The first error of OpenSSL's queue for this thread, in its words.
std::string openSslError()
{
    const unsigned long code = ERR_peek_error();
    if (code == 0)
        return std::string();
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// The verification result in the words of our log lines, with OpenSSL's own
// text after them.
std::string verifyFailure(long result)
{
    const char *words = nullptr;
    switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        words = "certificate expired";
        break;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        words = "certificate not yet valid";
        break;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        words = "unknown issuer";
        break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        words = "name mismatch";
        break;
    default:
        words = "certificate refused";
        break;
    }
    return formatString("%s (%s)", words, X509_verify_cert_error_string(result));
}

std::string subjectText(X509 *certificate)
{
    const std::unique_ptr<BIO, SslDeleter> memory(BIO_new(BIO_s_mem()));
    if (!memory || X509_NAME_print_ex(memory.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253) < 0)
        return std::string();
    char *data = nullptr;
    const long length = BIO_get_mem_data(memory.get(), &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

int64_t expiryOf(X509 *certificate)
{
    struct tm expiry = {};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &expiry) != 1)
        return 0;
    return static_cast<int64_t>(timegm(&expiry));
}

// A dotted IPv4 address is checked against the certificate's IP entries,
// a host name against its DNS names.
bool isDottedAddress(const std::string &name)
{
    unsigned parts[4] = {};
    char rest = 0;
    return std::sscanf(name.c_str(), "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3], &rest) == 4;
}

} // namespace

struct TlsStream::State {
    std::unique_ptr<SSL, SslDeleter> ssl;
    BioState bio;
    std::string subject;
    int64_t expiry = 0;
    std::string protocol;
};

TlsStream::TlsStream(std::unique_ptr<State> state) : state_(std::move(state)) {}

TlsStream::~TlsStream() = default;

long TlsStream::read(void *buffer, size_t size, bool &timedOut)
{
    timedOut = false;
    ERR_clear_error();
    const int result = SSL_read(state_->ssl.get(), buffer, static_cast<int>(std::min<size_t>(size, INT_MAX)));
    if (result > 0)
        return result;
    const int error = SSL_get_error(state_->ssl.get(), result);
    if (error == SSL_ERROR_ZERO_RETURN)
        return 0;
    if (error == SSL_ERROR_WANT_READ) {
        if (!state_->bio.timedOut)
            return NothingYet;
        timedOut = true;
        return -1;
    }
    if (error == SSL_ERROR_SYSCALL && state_->bio.lastError == 0 && result == 0)
        return 0;  // the peer closed without close_notify, taken as the end (see the context options)
    return -1;
}

long TlsStream::write(const void *data, size_t size)
{
    if (size == 0)
        return 0;
    ERR_clear_error();
    const int result = SSL_write(state_->ssl.get(), data, static_cast<int>(std::min<size_t>(size, INT_MAX)));
    return result > 0 ? result : -1;
}

size_t TlsStream::pending() const
{
    const int count = SSL_pending(state_->ssl.get());
    return count > 0 ? static_cast<size_t>(count) : 0;
}

bool TlsStream::shutdownSend()
{
    ERR_clear_error();
    SSL_shutdown(state_->ssl.get());
    return state_->bio.handle.shutdownSend();
}

int TlsStream::lastError() const
{
    return state_->bio.lastError;
}

const std::string &TlsStream::peerSubject() const
{
    return state_->subject;
}

int64_t TlsStream::peerExpiry() const
{
    return state_->expiry;
}

const std::string &TlsStream::protocol() const
{
    return state_->protocol;
}

struct TlsClient::Context {
    std::unique_ptr<SSL_CTX, SslDeleter> context;
};

bool TlsClient::available()
{
    return true;
}

TlsClient::TlsClient(const std::string &caFile) : context_(std::make_unique<Context>())
{
    context_->context.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX *const context = context_->context.get();
    if (!context)
        THROW_EXCEPTION(formatString("cannot make a TLS context: %s", openSslError().c_str()));
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // Partial writes: Socket::write loops over what was taken. A peer that
    // ends the TCP stream without close_notify ends the stream too: the
    // session protocol frames its own messages, and the relayed protocols
    // have their own ends.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A read returns after a record without data instead of waiting for the
    // next one: a relay that woke for a session ticket must not block in it.
    SSL_CTX_clear_mode(context, SSL_MODE_AUTO_RETRY);
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    ERR_clear_error();
    const bool loaded = caFile.empty() ? SSL_CTX_set_default_verify_paths(context) == 1
                                       : SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) == 1;
    if (!loaded)
        THROW_EXCEPTION(formatString("cannot read the TLS certificates of '%s': %s",
                                     caFile.empty() ? "the system's store" : caFile.c_str(),
                                     openSslError().c_str()));
}

TlsClient::~TlsClient() = default;

std::shared_ptr<TlsStream> TlsClient::handshake(const SocketHandle &handle, const std::string &name,
                                                Failure &failure) const
{
    failure = Failure();
    ERR_clear_error();
    auto state = std::make_unique<TlsStream::State>();
    state->bio.handle = handle;
    state->ssl.reset(SSL_new(context_->context.get()));
    BIO *const bio = state->ssl ? BIO_new(socketBioMethod()) : nullptr;
    if (!bio) {
        failure.reason = formatString("out of memory (%s)", openSslError().c_str());
        return nullptr;
    }
    BIO_set_data(bio, &state->bio);
    BIO_set_init(bio, 1);
    SSL *const ssl = state->ssl.get();
    SSL_set_bio(ssl, bio, bio);  // the SSL owns the BIO from here
    X509_VERIFY_PARAM *const parameters = SSL_get0_param(ssl);
    if (isDottedAddress(name)) {
        X509_VERIFY_PARAM_set1_ip_asc(parameters, name.c_str());
    } else {
        X509_VERIFY_PARAM_set_hostflags(parameters, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl, name.c_str());
        SSL_set_tlsext_host_name(ssl, name.c_str());
    }

    const int result = SSL_connect(ssl);
    if (result != 1) {
        const long verified = SSL_get_verify_result(ssl);
        if (verified != X509_V_OK) {
            failure.certificate = true;
            failure.reason = verifyFailure(verified);
        } else if (state->bio.timedOut) {
            failure.reason = "no answer in time";
        } else if (state->bio.lastError != 0) {
            failure.reason = formatString("connection failed (%s)", Platform::errorText(state->bio.lastError).c_str());
        } else if (!openSslError().empty()) {
            failure.reason = openSslError();
        } else {
            failure.reason = "connection closed by the server";
        }
        return nullptr;
    }
    if (X509 *const certificate = SSL_get0_peer_certificate(ssl)) {
        state->subject = subjectText(certificate);
        state->expiry = expiryOf(certificate);
    }
    state->protocol = SSL_get_version(ssl);
    return std::make_shared<TlsStream>(std::move(state));
}
