#include "sockettestsystem.h"

#include "socket.h"

#include <gtest/gtest.h>
#include <winsock2.h>

namespace sockettest {

const int ConnectionRefusedError = WSAECONNREFUSED;
const int ClosedSocketError = WSAENOTSOCK;

bool broadcastEnabled(const Socket &socket)
{
    BOOL broadcast = FALSE;
    int length = sizeof broadcast;
    const long long handle = socket.handle();
    return handle >= 0 &&
           ::getsockopt(static_cast<SOCKET>(handle), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<char *>(&broadcast),
                        &length) == 0 &&
           broadcast != FALSE;
}

} // namespace sockettest
