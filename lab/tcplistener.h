// A listening TCP port of a simulated printer, with one thread per connection.
#pragma once

#include "uniquefd.h"

#include <netinet/in.h>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

// Accepts connections on one address and port and runs the handler for each
// on a thread of its own. stop() closes the port and every open connection
// and joins all threads; it runs on one thread at a time (the owner's).
class TcpListener {
public:
    // Serves one accepted connection; runs on that connection's thread and
    // returns when the connection is done. The descriptor stays owned by
    // the listener, which closes it after the handler's thread is joined.
    using Handler = std::function<void(int fd, const sockaddr_in& peer)>;

    TcpListener() = default;
    ~TcpListener() { stop(); }
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Binds and listens, then starts the accepting thread. Returns 0, or the
    // errno of the step that failed (nothing is left running then).
    int start(const in_addr& address, std::uint16_t port, Handler handler);

    // Closes the port and all its connections; joins every thread. Idempotent.
    void stop();

    bool running() const { return acceptThread_.joinable(); }

    // The port the listener is bound to (the one chosen when started with
    // port 0); 0 when not listening.
    std::uint16_t localPort() const { return localPort_; }

private:
    // One accepted connection and the thread serving it.
    struct Connection {
        UniqueFd fd;
        std::thread thread;
        std::atomic<bool> done{false};  // set by the thread as its last act
    };

    void acceptLoop();     // body of the accepting thread
    void reapFinished();   // joins connections whose thread is done

    UniqueFd listenFd_;            // used by the accepting thread; closed after it is joined
    Handler handler_;              // set before the accepting thread starts
    std::uint16_t localPort_ = 0;  // set by start(), on the owner's thread
    std::thread acceptThread_;     // started and joined by the owner's thread
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;             // guards connections_
    std::list<std::unique_ptr<Connection>> connections_;
};
