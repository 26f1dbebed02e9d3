#include "socketio.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

namespace socketio {

bool sendAll(int fd, const void* data, std::size_t n)
{
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        p += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

std::size_t recvAll(int fd, void* data, std::size_t n)
{
    char* p = static_cast<char*>(data);
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = ::recv(fd, p + got, n - got, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

std::string addressText(const in_addr& address)
{
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address, text, sizeof text))
        return "?";
    return text;
}

std::string endpointText(const sockaddr_in& endpoint)
{
    return addressText(endpoint.sin_addr) + ":" +
           std::to_string(ntohs(endpoint.sin_port));
}

void setReceiveTimeout(int fd, int milliseconds)
{
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

}  // namespace socketio
