#include "tlsrelay.h"

#include "loopback.h"
#include "socket.h"
#include "tempdirectory.h"
#include "tlsclient.h"
#include "tlstesttools.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace {

constexpr const char *ServerName = "relay.bench";

} // namespace

// The TLS endpoint in front of the target: accepts, runs the server side of
// the handshake and relays between the TLS connection and a new plain one to
// the target, on one thread per connection (one thread per SSL object).
struct TlsTunnelRelay::Endpoint {
    tlstest::Authority authority;
    tlstest::Identity identity = authority.issue(ServerName, std::string("DNS:") + ServerName);
    std::unique_ptr<SSL_CTX, tlstest::KeyFree> context{SSL_CTX_new(TLS_server_method())};
    uint16_t targetPort = 0;
    LoopbackListener listener;
    std::mutex mutex;  // guards the two below
    // Closed only after their threads were joined, so that a shutdown never
    // meets a reused number.
    std::vector<std::shared_ptr<UniqueFd>> connections;
    std::vector<std::thread> threads;

    ~Endpoint() { stop(); }

    bool start(uint16_t target, std::string &problem)
    {
        targetPort = target;
        SSL_CTX_use_certificate(context.get(), identity.certificate.get());
        SSL_CTX_use_PrivateKey(context.get(), identity.key.get());
        SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        return listener.start([this](UniqueFd connection) { accepted(std::move(connection)); }, problem);
    }

    void accepted(UniqueFd connection)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const int descriptor = connection.get();
        connections.push_back(std::make_shared<UniqueFd>(std::move(connection)));
        threads.emplace_back([this, descriptor] { serve(descriptor); });
    }

    // Non-blocking both ways, with one buffer per direction: a relay that
    // blocked in a write could deadlock with the Tunnel, which blocks in its
    // own writes, once both directions are full.
    void serve(int descriptor)
    {
        std::unique_ptr<SSL, tlstest::KeyFree> ssl(SSL_new(context.get()));
        SSL_set_fd(ssl.get(), descriptor);
        if (SSL_accept(ssl.get()) != 1)
            return;
        UniqueFd target = Loopback::connectTo(targetPort);
        if (target.get() < 0)
            return;
        ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
        ::fcntl(target.get(), F_SETFL, ::fcntl(target.get(), F_GETFL) | O_NONBLOCK);
        std::vector<char> up(65536), down(65536);  // to the target, to the TLS client
        size_t upBegin = 0, upEnd = 0, downBegin = 0, downEnd = 0;
        for (;;) {
            bool progressed = false;
            if (upBegin == upEnd) {
                upBegin = upEnd = 0;
                const int n = SSL_read(ssl.get(), up.data(), static_cast<int>(up.size()));
                if (n > 0) {
                    upEnd = static_cast<size_t>(n);
                    progressed = true;
                } else if (SSL_get_error(ssl.get(), n) != SSL_ERROR_WANT_READ &&
                           SSL_get_error(ssl.get(), n) != SSL_ERROR_WANT_WRITE) {
                    return;
                }
            }
            if (upBegin < upEnd) {
                const ssize_t n = ::send(target.get(), up.data() + upBegin, upEnd - upBegin, MSG_NOSIGNAL);
                if (n > 0) {
                    upBegin += static_cast<size_t>(n);
                    progressed = true;
                } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    return;
                }
            }
            if (downBegin == downEnd) {
                downBegin = downEnd = 0;
                const ssize_t n = ::recv(target.get(), down.data(), down.size(), 0);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                    return;
                if (n > 0) {
                    downEnd = static_cast<size_t>(n);
                    progressed = true;
                }
            }
            if (downBegin < downEnd) {
                const int n = SSL_write(ssl.get(), down.data() + downBegin, static_cast<int>(downEnd - downBegin));
                if (n > 0) {
                    downBegin += static_cast<size_t>(n);
                    progressed = true;
                } else if (SSL_get_error(ssl.get(), n) != SSL_ERROR_WANT_WRITE &&
                           SSL_get_error(ssl.get(), n) != SSL_ERROR_WANT_READ) {
                    return;
                }
            }
            if (progressed)
                continue;
            const short tlsEvents = static_cast<short>((upBegin == upEnd ? POLLIN : 0) |
                                                       (downBegin < downEnd ? POLLOUT : 0));
            const short targetEvents = static_cast<short>((downBegin == downEnd ? POLLIN : 0) |
                                                          (upBegin < upEnd ? POLLOUT : 0));
            pollfd waits[2] = {{descriptor, tlsEvents, 0}, {target.get(), targetEvents, 0}};
            if (::poll(waits, 2, -1) < 0 && errno != EINTR)
                return;
            if ((waits[0].revents | waits[1].revents) & (POLLERR | POLLNVAL))
                return;
        }
    }

    void stop()
    {
        listener.stop();
        std::vector<std::thread> stopping;
        std::vector<std::shared_ptr<UniqueFd>> closing;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto &connection : connections)
                ::shutdown(connection->get(), SHUT_RDWR);
            closing.swap(connections);
            stopping.swap(threads);
        }
        for (std::thread &thread : stopping)
            thread.join();
    }
};

TlsTunnelRelay::TlsTunnelRelay() = default;

TlsTunnelRelay::~TlsTunnelRelay()
{
    stop();
}

bool TlsTunnelRelay::start(uint16_t targetPort, int connections, std::string &problem)
{
    endpoint_ = std::make_unique<Endpoint>();
    directory_ = std::make_unique<TempDirectory>();
    tlstest::writeFile(directory_->file("ca.pem"), endpoint_->authority.pem());
    client_ = std::make_unique<TlsClient>(directory_->file("ca.pem"));
    return endpoint_->start(targetPort, problem) && TunnelRelay::start(targetPort, connections, problem);
}

std::shared_ptr<Socket> TlsTunnelRelay::connectSink()
{
    auto server = std::make_shared<Socket>("relay TLS side");
    server->receiveTimeout = ReceiveTimeoutMs;
    if (!server->connect(Loopback::Address, endpoint_->listener.port()) || !server->startTls(*client_, ServerName))
        return nullptr;
    return server;
}

void TlsTunnelRelay::stop()
{
    TunnelRelay::stop();
    if (endpoint_)
        endpoint_->stop();
}
