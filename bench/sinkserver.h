#pragma once

#include "loopbacklistener.h"
#include "uniquefd.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The receiving end of every path: listens on 127.0.0.1 and serves each
// accepted connection with the workload's handler on a thread of its own.
// A handler returns when its peer closes or its I/O times out.
//
// A connection that ends before it sent a single byte never reaches the
// handler: the bridge tests its server that way (connect, then close at
// once), and a client's own connection always begins with its index.
class SinkServer {
public:
    using Handler = std::function<void(UniqueFd connection)>;

    explicit SinkServer(Handler handler) : handler_(std::move(handler)) {}
    ~SinkServer();
    SinkServer(const SinkServer &) = delete;
    SinkServer &operator=(const SinkServer &) = delete;

    bool start(std::string &problem);
    uint16_t port() const { return listener_.port(); }
    // Stops accepting and waits for every handler to return.
    void stop();

private:
    void serve(UniqueFd connection);
    // True when the peer closed (or reset) the connection before sending
    // anything; waits at most the benchmark's I/O time-out for the first byte.
    static bool endsUnused(int descriptor);

    Handler handler_;
    LoopbackListener listener_;
    std::mutex mutex_;  // guards handlers_
    std::vector<std::thread> handlers_;
};
