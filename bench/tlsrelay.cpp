#include "tlsrelay.h"

#include "loopback.h"
#include "socket.h"
#include "tempdirectory.h"
#include "tlsclient.h"
#include "tlstesttools.h"

#include <poll.h>
#include <sys/socket.h>

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
        return listener.start([this](UniqueFd connection) { accepted(std::move(connection)); }, problem);
    }

    void accepted(UniqueFd connection)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const int descriptor = connection.get();
        connections.push_back(std::make_shared<UniqueFd>(std::move(connection)));
        threads.emplace_back([this, descriptor] { serve(descriptor); });
    }

    void serve(int descriptor)
    {
        std::unique_ptr<SSL, tlstest::KeyFree> ssl(SSL_new(context.get()));
        SSL_set_fd(ssl.get(), descriptor);
        if (SSL_accept(ssl.get()) != 1)
            return;
        UniqueFd target = Loopback::connectTo(targetPort);
        if (target.get() < 0)
            return;
        std::vector<char> buffer(65536);
        for (;;) {
            if (SSL_pending(ssl.get()) == 0) {
                pollfd waits[2] = {{descriptor, POLLIN, 0}, {target.get(), POLLIN, 0}};
                if (::poll(waits, 2, -1) < 0)
                    return;
                if (waits[1].revents) {
                    const ssize_t n = ::recv(target.get(), buffer.data(), buffer.size(), 0);
                    if (n <= 0)
                        return;
                    for (ssize_t sent = 0; sent < n;) {
                        const int m = SSL_write(ssl.get(), buffer.data() + sent, static_cast<int>(n - sent));
                        if (m <= 0)
                            return;
                        sent += m;
                    }
                }
                if (!waits[0].revents)
                    continue;
            }
            const int n = SSL_read(ssl.get(), buffer.data(), static_cast<int>(buffer.size()));
            if (n <= 0) {
                if (SSL_get_error(ssl.get(), n) == SSL_ERROR_WANT_READ)
                    continue;
                return;
            }
            if (!Loopback::sendAll(target.get(), buffer.data(), static_cast<size_t>(n)))
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

bool TlsTunnelRelay::start(uint16_t targetPort, int, std::string &problem)
{
    targetPort_ = targetPort;
    endpoint_ = std::make_unique<Endpoint>();
    directory_ = std::make_unique<TempDirectory>();
    tlstest::writeFile(directory_->file("ca.pem"), endpoint_->authority.pem());
    client_ = std::make_unique<TlsClient>(directory_->file("ca.pem"));
    return endpoint_->start(targetPort, problem) &&
           listener_.start([this](UniqueFd connection) { join(std::move(connection)); }, problem);
}

void TlsTunnelRelay::join(UniqueFd connection)
{
    // Runs on the accepting thread, as TunnelRelay's does.
    auto client = std::make_shared<Socket>("relay client side", SocketHandle::adopt(connection.release()));
    client->receiveTimeout = ReceiveTimeoutMs;
    client->applyTimeouts();
    auto server = std::make_shared<Socket>("relay TLS side");
    server->receiveTimeout = ReceiveTimeoutMs;
    if (!server->connect(Loopback::Address, endpoint_->listener.port()) || !server->startTls(*client_, ServerName))
        return;

    std::lock_guard<std::mutex> lock(mutex_);
    auto tunnel = std::make_shared<Tunnel>(nullptr, nextId_++, client, server);
    tunnel->selectTimeout = SelectTimeoutMs;
    if (tunnel->start())
        tunnels_.push_back(std::move(tunnel));
}

void TlsTunnelRelay::stop()
{
    listener_.stop();
    std::vector<std::shared_ptr<Tunnel>> tunnels;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tunnels.swap(tunnels_);
    }
    for (const auto &tunnel : tunnels)
        tunnel->stop();
    if (endpoint_)
        endpoint_->stop();
}
