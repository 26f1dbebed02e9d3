#pragma once

#include "iplatform.h"
#include "singleton.h"

// IPlatform on Linux and other POSIX systems, reached through
// Singleton<PlatformPosix>::instance(). Error numbers are errno values; a
// receive or send time-out (EAGAIN, EWOULDBLOCK, ETIMEDOUT) is "timed out" and
// EINPROGRESS or EINTR "pending". The documents folder is the XDG documents
// directory (else $HOME/Documents), application data $XDG_CONFIG_HOME (else
// $HOME/.config), local application data $XDG_STATE_HOME (else
// $HOME/.local/state).
class PlatformPosix : public IPlatform, public Singleton<PlatformPosix> {
public:
    // Sockets need no start-up here; ignores SIGPIPE as a second safety net,
    // raises the open-files limit to the hard limit and keeps every thread's
    // allocations in one malloc arena. Call it before any thread starts.
    bool initialize() override;
    void finalize() override {}

    int getErrorCode(int source) override;
    int getErrorID(int source) override;
    std::string getErrorString(int source) override;
    std::string getSpecialFolder(int folder) override;
    void debugOutput(const std::string &text, const char *file, int line) override;
    void sleep(unsigned milliseconds) override;
    void setThreadName(const std::string &name, std::thread *thread) override;
    std::string getPlatformName() override;
    int getProcessId() override;
    std::vector<Interface> getBroadcastInterfaces() override;
    std::vector<Process> listProcesses() override;
    bool terminateProcess(int id) override;
    bool processExists(int id) override;
    std::string getUserName() override;
    bool waitForProcessEnd(int id, unsigned milliseconds) override;
    void releaseFreeMemory() override;

    // The class and the "#%d (%s)" text of a given error number.
    static int errorClassOf(int errorNumber, int source);
    static std::string errorText(int errorNumber);

protected:
    PlatformPosix() = default;
};
