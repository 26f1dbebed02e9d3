#include "sinkserver.h"

#include "loopback.h"

#include <cerrno>
#include <sys/socket.h>
#include <system_error>

SinkServer::~SinkServer()
{
    stop();
}

bool SinkServer::start(std::string &problem)
{
    return listener_.start([this](UniqueFd connection) { serve(std::move(connection)); }, problem);
}

void SinkServer::serve(UniqueFd connection)
{
    // The descriptor moves into the thread; a connection that gets no thread
    // is closed here, and its client sees the missing ready byte.
    auto shared = std::make_shared<UniqueFd>(std::move(connection));
    try {
        std::thread thread([this, shared] {
            if (!endsUnused(shared->get()))
                handler_(std::move(*shared));
        });
        std::lock_guard<std::mutex> lock(mutex_);
        handlers_.push_back(std::move(thread));
    } catch (const std::system_error &) {
    }
}

bool SinkServer::endsUnused(int descriptor)
{
    Loopback::setTimeouts(descriptor, Loopback::IoTimeoutMs);
    unsigned char first = 0;
    for (;;) {
        const ssize_t result = ::recv(descriptor, &first, 1, MSG_PEEK);
        if (result >= 0)
            return result == 0;
        if (errno != EINTR)
            return errno == ECONNRESET;
    }
}

void SinkServer::stop()
{
    listener_.stop();
    std::vector<std::thread> handlers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handlers.swap(handlers_);
    }
    for (std::thread &thread : handlers)
        thread.join();
}
