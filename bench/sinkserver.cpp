#include "sinkserver.h"

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
        std::thread thread([this, shared] { handler_(std::move(*shared)); });
        std::lock_guard<std::mutex> lock(mutex_);
        handlers_.push_back(std::move(thread));
    } catch (const std::system_error &) {
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
