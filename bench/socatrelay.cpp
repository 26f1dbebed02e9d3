#include "socatrelay.h"

#include "loopback.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr int StartAttempts = 3;  // a free port may be taken before socat binds it

void pause(unsigned milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace

std::string SocatRelay::findProgram()
{
    const char *path = std::getenv("PATH");
    std::string directories = path ? path : "/usr/bin:/bin";
    size_t begin = 0;
    while (begin <= directories.size()) {
        size_t end = directories.find(':', begin);
        if (end == std::string::npos)
            end = directories.size();
        const std::string directory = directories.substr(begin, end - begin);
        const std::string candidate = (directory.empty() ? std::string(".") : directory) + "/socat";
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        begin = end + 1;
    }
    return std::string();
}

SocatRelay::~SocatRelay()
{
    stop();
}

bool SocatRelay::start(uint16_t targetPort, int connections, std::string &problem)
{
    stop();
    for (int attempt = 0; attempt < StartAttempts; ++attempt) {
        const uint16_t port = Loopback::freePort();
        if (port == 0) {
            problem = "no free port on 127.0.0.1";
            return false;
        }
        if (!launch(port, targetPort, connections > 1, problem))
            return false;
        if (awaitListening(port, problem)) {
            port_ = port;
            return true;
        }
        stop();
    }
    return false;
}

bool SocatRelay::launch(uint16_t port, uint16_t targetPort, bool fork, std::string &problem)
{
    std::string listenAddress = "TCP-LISTEN:" + std::to_string(port) + ",reuseaddr,bind=127.0.0.1";
    if (fork)
        listenAddress += ",fork";
    std::string connectAddress = "TCP:127.0.0.1:" + std::to_string(targetPort);
    std::vector<char *> arguments = {const_cast<char *>(program_.c_str()), listenAddress.data(),
                                     connectAddress.data(), nullptr};

    // Its own process group, so that stop() reaches the fork children too;
    // SIGPIPE back to its default, whatever this process does with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int result = ::posix_spawn(&pid, program_.c_str(), nullptr, &attributes, arguments.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        problem = "cannot start " + program_ + ": " + std::strerror(result);
        return false;
    }
    pid_ = pid;
    return true;
}

bool SocatRelay::awaitListening(uint16_t port, std::string &problem)
{
    const unsigned step = 5;
    for (unsigned waited = 0; waited < StartTimeoutMs; waited += step) {
        if (Loopback::isListening(port))
            return true;
        if (reap(0)) {
            problem = "socat exited before it listened";
            return false;
        }
        pause(step);
    }
    problem = "socat did not listen within " + std::to_string(StartTimeoutMs) + " ms";
    return false;
}

bool SocatRelay::reap(unsigned milliseconds)
{
    if (pid_ <= 0)
        return true;
    for (unsigned waited = 0;; waited += 10) {
        int status = 0;
        const pid_t result = ::waitpid(pid_, &status, WNOHANG);
        if (result == pid_ || (result < 0 && errno == ECHILD)) {
            pid_ = -1;
            return true;
        }
        if (waited >= milliseconds)
            return false;
        pause(10);
    }
}

void SocatRelay::stop()
{
    if (pid_ > 0) {
        ::kill(-pid_, SIGTERM);
        if (!reap(2000)) {
            ::kill(-pid_, SIGKILL);
            reap(5000);
        }
    }
    port_ = 0;
}
