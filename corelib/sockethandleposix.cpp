#include "sockethandle.h"

#include <atomic>
#include <sys/socket.h>
#include <unistd.h>

struct SocketHandle::State {
    explicit State(int descriptor) : descriptor(descriptor) {}
    ~State() { ::close(descriptor); }

    const int descriptor;
    std::atomic<bool> closed{false};
};

SocketHandle SocketHandle::adopt(int descriptor)
{
    SocketHandle handle;
    if (descriptor >= 0)
        handle.state_ = std::make_shared<State>(descriptor);
    return handle;
}

SocketHandle SocketHandle::createStream()
{
    return adopt(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

SocketHandle SocketHandle::createDatagram()
{
    return adopt(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
}

bool SocketHandle::isOpen() const
{
    return state_ && !state_->closed.load();
}

int SocketHandle::descriptor() const
{
    return state_ ? state_->descriptor : -1;
}

void SocketHandle::close() const
{
    if (state_ && !state_->closed.exchange(true))
        ::shutdown(state_->descriptor, SHUT_RDWR);
}
