// TLS where the build has no TLS library (the Windows build): the option
// that asks for it is refused when the options are read.
#include "tlsclient.h"
#include "tlsstream.h"

#include "exception.h"
#include "sockethandle.h"

struct TlsStream::State {
    std::string none;
};

TlsStream::TlsStream(std::unique_ptr<State> state) : state_(std::move(state)) {}

TlsStream::~TlsStream() = default;

long TlsStream::read(void *, size_t, bool &timedOut)
{
    timedOut = false;
    return -1;
}

long TlsStream::write(const void *, size_t)
{
    return -1;
}

size_t TlsStream::pending() const
{
    return 0;
}

bool TlsStream::shutdownSend()
{
    return false;
}

int TlsStream::lastError() const
{
    return 0;
}

const std::string &TlsStream::peerSubject() const
{
    return state_->none;
}

int64_t TlsStream::peerExpiry() const
{
    return 0;
}

const std::string &TlsStream::protocol() const
{
    return state_->none;
}

struct TlsClient::Context {};

bool TlsClient::available()
{
    return false;
}

TlsClient::TlsClient(const std::string &)
{
    THROW_EXCEPTION("TLS to the server (option server-tls) is not available in this build");
}

TlsClient::~TlsClient() = default;

std::shared_ptr<TlsStream> TlsClient::handshake(const SocketHandle &, const std::string &, Failure &failure) const
{
    failure = Failure();
    failure.reason = "TLS is not available in this build";
    return nullptr;
}
