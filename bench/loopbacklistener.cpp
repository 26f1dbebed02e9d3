#include "loopbacklistener.h"

#include "loopback.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <system_error>

LoopbackListener::~LoopbackListener()
{
    stop();
}

bool LoopbackListener::start(Callback callback, std::string &problem)
{
    callback_ = std::move(callback);
    listener_ = Loopback::listenOn(0, Backlog);
    port_ = listener_.isOpen() ? Loopback::localPort(listener_.get()) : 0;
    if (port_ == 0) {
        problem = std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno);
        listener_.reset();
        return false;
    }
    try {
        thread_ = std::thread(&LoopbackListener::acceptLoop, this);
    } catch (const std::system_error &error) {
        problem = std::string("cannot start an accepting thread: ") + error.what();
        listener_.reset();
        return false;
    }
    return true;
}

void LoopbackListener::stop()
{
    Loopback::wake(listener_.get());  // makes the pending accept fail
    if (thread_.joinable())
        thread_.join();
    listener_.reset();
}

void LoopbackListener::acceptLoop()
{
    // Ends when the listening socket is shut down (accept then fails with
    // EINVAL) or on any other lasting failure.
    for (;;) {
        const int accepted = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        callback_(UniqueFd(accepted));
    }
}
