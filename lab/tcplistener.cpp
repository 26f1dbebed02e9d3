#include "tcplistener.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>
#include <vector>

int TcpListener::start(const in_addr& address, std::uint16_t port, Handler handler)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return errno;
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    local.sin_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return errno;
    // A long backlog: a bridge with many printers opens their sessions at once.
    if (::listen(fd.get(), SOMAXCONN) != 0)
        return errno;
    sockaddr_in bound{};
    socklen_t boundLength = sizeof bound;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0)
        return errno;
    localPort_ = ntohs(bound.sin_port);
    listenFd_ = std::move(fd);
    handler_ = std::move(handler);
    stopping_ = false;
    acceptThread_ = std::thread(&TcpListener::acceptLoop, this);
    return 0;
}

void TcpListener::stop()
{
    if (!acceptThread_.joinable())
        return;
    stopping_ = true;
    listenFd_.shutdownBoth();
    acceptThread_.join();
    listenFd_.reset();
    localPort_ = 0;

    // No new connection can appear now; wake and join the open ones.
    std::list<std::unique_ptr<Connection>> open;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& c : connections_)
            c->fd.shutdownBoth();
        open.swap(connections_);
    }
    for (auto& c : open)
        c->thread.join();
    // The descriptors close as `open` goes out of scope, after the joins.
}

void TcpListener::acceptLoop()
{
    while (!stopping_) {
        pollfd p{listenFd_.get(), POLLIN, 0};
        int ready = ::poll(&p, 1, 200);
        reapFinished();
        if (ready <= 0 || stopping_)
            continue;
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int client = ::accept4(listenFd_.get(), reinterpret_cast<sockaddr*>(&peer),
                               &length, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        auto connection = std::make_unique<Connection>();
        connection->fd.reset(client);
        Connection* c = connection.get();
        std::lock_guard<std::mutex> lock(mutex_);
        try {
            c->thread = std::thread([this, c, peer] {
                handler_(c->fd.get(), peer);
                c->done = true;
            });
        } catch (const std::system_error&) {
            continue;  // no thread to serve it: the connection is closed
        }
        connections_.push_back(std::move(connection));
    }
}

void TcpListener::reapFinished()
{
    std::vector<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->done) {
                finished.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished)
        c->thread.join();
}
