#pragma once

#include "uniquefd.h"

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

// A TCP listener on 127.0.0.1 (any free port) whose thread hands every
// accepted connection to a callback, in the order they come. stop() shuts the
// listening socket down, which ends the accepting thread, and joins it.
class LoopbackListener {
public:
    using Callback = std::function<void(UniqueFd connection)>;

    LoopbackListener() = default;
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;

    bool start(Callback callback, std::string &problem);
    uint16_t port() const { return port_; }
    void stop();

private:
    void acceptLoop();

    static constexpr int Backlog = 512;

    Callback callback_;
    UniqueFd listener_;
    uint16_t port_ = 0;
    std::thread thread_;
};
