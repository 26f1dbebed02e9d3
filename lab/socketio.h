// Small blocking socket helpers shared by the printer's ports.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string>

namespace socketio {

// Sends all n bytes (MSG_NOSIGNAL); false when the peer is gone or on error.
bool sendAll(int fd, const void* data, std::size_t n);

// Receives up to n bytes, looping until n arrived, the peer closed, the
// receive timeout ran out or an error happened. Returns the count received.
std::size_t recvAll(int fd, void* data, std::size_t n);

// "a.b.c.d" of an address in network order.
std::string addressText(const in_addr& address);

// "a.b.c.d:port" of a socket address.
std::string endpointText(const sockaddr_in& endpoint);

// Sets SO_RCVTIMEO in milliseconds.
void setReceiveTimeout(int fd, int milliseconds);

}  // namespace socketio
