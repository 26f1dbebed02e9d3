#pragma once

// Test helpers for the socket layer: loopback listeners, connected pairs of
// Socket objects, a port that nothing listens on, and waits with deadlines.
// Everything here uses 127.0.0.1 only, and reaches the system through
// SocketHandle alone, so that the same tests run on every platform.

#include "socket.h"
#include "sockethandle.h"
#include "stringutils.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace sockettest {

constexpr uint32_t Loopback = 0x7F000001;  // 127.0.0.1

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline long long millisecondsSince(Clock::time_point begin)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - begin).count();
}

template <typename Predicate>
bool eventually(Predicate predicate, int limitMilliseconds = 5000)
{
    const auto deadline = Clock::now() + milliseconds(limitMilliseconds);
    while (!predicate()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

// Calls `action` once when it has not been disarmed within the time, so that
// a call that should have returned by itself cannot hang a test for ever.
class Watchdog {
public:
    template <typename Action>
    Watchdog(int milliseconds, Action action)
        : thread_([this, milliseconds, action] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!disarmed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return done_; })) {
                  fired_ = true;
                  action();
              }
          })
    {
    }
    ~Watchdog() { disarm(); }

    // True when the action ran.
    bool disarm()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        disarmed_.notify_all();
        if (thread_.joinable())
            thread_.join();
        return fired_;
    }

private:
    std::mutex mutex_;
    std::condition_variable disarmed_;
    bool done_ = false;
    std::atomic<bool> fired_{false};
    std::thread thread_;
};

// Joins `worker` once `done` is set. A worker that a close() should have
// woken and that still runs after a generous grace cannot be released any
// other way (a close is the only wake-up there is), so the test program ends
// with a message rather than hang until its time-out.
inline void joinOrEnd(std::thread &worker, const std::atomic<bool> &done, const char *what)
{
    if (!eventually([&] { return done.load(); }, 30000)) {
        std::fprintf(stderr, "FATAL: %s still blocked 30 s after its socket was closed; ending the tests\n", what);
        std::fflush(stderr);
        std::_Exit(1);
    }
    worker.join();
}

// True when `handle` becomes readable (data, a connection to accept, the end
// of its stream, an error) within the time.
inline bool becomesReadable(const SocketHandle &handle, int timeoutMilliseconds)
{
    if (!handle.isOpen())
        return false;
    const SocketHandle *handles[] = {&handle};
    bool ready = false;
    return SocketHandle::waitReadable(handles, 1, timeoutMilliseconds, &ready) > 0 && ready;
}

inline bool becomesReadable(const Socket &socket, int timeoutMilliseconds)
{
    return becomesReadable(socket.sharedHandle(), timeoutMilliseconds);
}

// True when the handle's peer ended the connection (a receive of 0 bytes)
// within the time, with no data before it.
inline bool seesEndOfStream(const SocketHandle &handle, int timeoutMilliseconds = 5000)
{
    if (!becomesReadable(handle, timeoutMilliseconds))
        return false;
    char byte;
    return handle.receive(&byte, 1) == 0;  // readable: the receive does not wait
}

inline bool seesEndOfStream(const Socket &socket, int timeoutMilliseconds = 5000)
{
    return seesEndOfStream(socket.sharedHandle(), timeoutMilliseconds);
}

// A listening TCP socket on 127.0.0.1 (or another loopback address) and a
// system-chosen port. It accepts only when asked to, so connections can also
// be left waiting.
class Listener {
public:
    // `bufferBytes` (0: the system's default) caps the kernel buffers of the
    // connections it accepts.
    explicit Listener(int backlog = 16, int bufferBytes = 0, uint32_t address = Loopback)
        : handle_(SocketHandle::createStream())
    {
        if (!handle_.isOpen())
            throw std::runtime_error("cannot make a socket");
        if (bufferBytes > 0)
            handle_.setBufferSizes(bufferBytes);
        if (!handle_.bind(address, 0) || !handle_.listen(backlog))
            throw std::runtime_error("cannot listen on " + addressToString(address));
        port_ = handle_.localPort();
    }
    ~Listener() { handle_.close(); }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    uint16_t port() const { return port_; }
    const SocketHandle &handle() const { return handle_; }

    // True when a connection waits to be accepted within the time.
    bool hasPending(int timeoutMilliseconds) const { return becomesReadable(handle_, timeoutMilliseconds); }

    // The accepted connection, or an empty handle when none came within the time.
    SocketHandle accept(int timeoutMilliseconds = 5000) const
    {
        if (!hasPending(timeoutMilliseconds))
            return SocketHandle();
        SocketHandle::AcceptFailure failure = SocketHandle::AcceptFailure::None;
        return handle_.accept(failure);
    }

    // The accepted connection as a Socket, or an empty pointer.
    std::shared_ptr<Socket> acceptSocket(const std::string &name = "Accepted", int timeoutMilliseconds = 5000) const
    {
        SocketHandle accepted = accept(timeoutMilliseconds);
        if (!accepted.isOpen())
            return nullptr;
        return std::make_shared<Socket>(name, std::move(accepted));
    }

private:
    const SocketHandle handle_;
    uint16_t port_ = 0;
};

// A loopback listener whose accept queue is full and that never accepts.
// The system drops further connection requests to it, so a connect to it
// hangs in the handshake until the requester gives up.
class FullListener {
public:
    FullListener() : listener_(0)
    {
        for (int i = 0; i < 16 && !full_; ++i) {
            fillers_.push_back(std::make_unique<Filler>(listener_.port()));
            full_ = !eventually([&] { return fillers_.back()->done.load(); }, 150);  // this request was dropped
        }
    }
    ~FullListener()
    {
        for (const auto &filler : fillers_)
            filler->handle.close();
        for (const auto &filler : fillers_)
            joinOrEnd(filler->thread, filler->done, "a filling connect");
    }

    bool full() const { return full_; }
    uint16_t port() const { return listener_.port(); }

private:
    // One connection request, made on a thread of its own.
    struct Filler {
        explicit Filler(uint16_t port)
            : handle(SocketHandle::createStream()), thread([this, port] {
                  handle.connect(Loopback, port, 0);
                  done = true;
              })
        {
        }
        const SocketHandle handle;
        std::atomic<bool> done{false};
        std::thread thread;  // joined by the FullListener
    };

    Listener listener_;
    std::vector<std::unique_ptr<Filler>> fillers_;
    bool full_ = false;
};

// Two ends of one loopback TCP connection, both Socket objects.
struct SocketPair {
    std::shared_ptr<Socket> client;  // connected with Socket::connect
    std::shared_ptr<Socket> server;  // the accepted end
};

inline SocketPair makePair(const Listener &listener, const std::string &clientName = "Client",
                           const std::string &serverName = "Accepted")
{
    SocketPair pair;
    pair.client = std::make_shared<Socket>(clientName);
    if (!pair.client->connect(Loopback, listener.port()))
        throw std::runtime_error("loopback connect failed");
    pair.server = listener.acceptSocket(serverName);
    if (!pair.server)
        throw std::runtime_error("loopback accept failed");
    return pair;
}

// Round after round, connects a client through `listener`, reads on it on
// another thread and closes it from this one, before, around and during the
// receive; stops after 400 rounds, 1.5 s, or a read that close() did not
// wake. Counts the reads that returned bytes after the close (another
// socket's, had its number been reused) and those that were never woken.
struct ReadCloseRounds {
    int rounds = 0;
    int wrongReads = 0;
    int stuckReads = 0;
};

inline ReadCloseRounds closeDuringReads(const Listener &listener)
{
    // One round's reader state lives on the heap, so that a reader that
    // never returns can be left behind without the test hanging.
    struct Round {
        SocketPair pair;
        std::atomic<bool> done{false};
        std::atomic<int> result{-2};
        char buffer[16];
    };

    ReadCloseRounds outcome;
    const auto begin = Clock::now();
    while (outcome.rounds < 400 && millisecondsSince(begin) < 1500) {
        auto round = std::make_shared<Round>();
        round->pair = makePair(listener);
        std::thread reader([round] {
            round->result = round->pair.client->read(round->buffer, sizeof round->buffer, false);
            round->done = true;
        });
        if (outcome.rounds % 4 == 1)
            std::this_thread::yield();
        else if (outcome.rounds % 4 == 2)
            std::this_thread::sleep_for(std::chrono::microseconds(100 + 50 * (outcome.rounds % 7)));
        else if (outcome.rounds % 4 == 3)
            std::this_thread::sleep_for(milliseconds(2));
        round->pair.client->close();
        ++outcome.rounds;
        if (!eventually([&] { return round->done.load(); }, 2000)) {
            ++outcome.stuckReads;
            reader.detach();
            break;
        }
        reader.join();
        outcome.wrongReads += round->result != -1;
    }
    return outcome;
}

// A port on 127.0.0.1 that was just bound and released, so that a connect
// to it is refused.
inline uint16_t releasedPort()
{
    SocketHandle handle = SocketHandle::createStream();
    const uint16_t port = handle.bind(Loopback, 0) ? handle.localPort() : 0;
    handle.close();
    if (port == 0)
        throw std::runtime_error("cannot bind a port on 127.0.0.1");
    return port;
}

} // namespace sockettest
