#pragma once

// What the socket tests ask of the system itself, beside SocketHandle: the
// error numbers of the failures they provoke, as SocketHandle::lastError
// gives them, and a socket option read back. One definition per platform
// (sockettestsystemposix.cpp, sockettestsystemwindows.cpp), chosen by the build.

class Socket;

namespace sockettest {

// A connect to a port that nothing listens on.
extern const int ConnectionRefusedError;
// A call on a socket that is no longer open.
extern const int ClosedSocketError;

// True when the socket's system socket has SO_BROADCAST set; false too when
// it holds no open socket.
bool broadcastEnabled(const Socket &socket);

} // namespace sockettest
