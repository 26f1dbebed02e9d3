#include "sockettestsystem.h"

#include "socket.h"

#include <cerrno>
#include <sys/socket.h>

namespace sockettest {

const int ConnectionRefusedError = ECONNREFUSED;
const int ClosedSocketError = EBADF;

bool broadcastEnabled(const Socket &socket)
{
    int broadcast = 0;
    socklen_t length = sizeof broadcast;
    const long long descriptor = socket.handle();
    return descriptor >= 0 &&
           ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_BROADCAST, &broadcast, &length) == 0 &&
           broadcast != 0;
}

} // namespace sockettest
