#pragma once

#include "imanager.h"

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// Everything the library needs from the operating system beyond sockets and
// files: error classes and texts, special folders, debugger output, sleeping,
// thread names, the tick counter, the network interfaces and processes.
// Implementations have no state; every operation may run on any thread.
class IPlatform : public IManager {
public:
    // The user's folders: roaming application data (settings), documents
    // (backups), and local application data (files of this machine only,
    // such as the status files).
    enum SpecialFolder { ApplicationData = 0, Documents = 1, LocalApplicationData = 2 };

    // Classes of the last error of a call.
    enum ErrorClass { NoError = 0, GeneralError = 1, TimedOut = 2, Pending = 3 };

    // A broadcast-capable IPv4 interface of the machine.
    struct Interface {
        uint32_t address = 0;    // the interface's own address, host order
        uint32_t broadcast = 0;  // where its limited broadcasts go, host order
        unsigned index = 0;      // the system's interface index, 0 for none
        std::string name;
    };

    // A running process: its identifier and its executable's full path.
    struct Process {
        int id = 0;
        std::string image;
    };

    // `source` 1 names the socket layer, anything else the operating system;
    // both read the calling thread's last error.
    virtual int getErrorCode(int source) = 0;
    virtual int getErrorID(int source) = 0;
    // "#%d (%s)": the last error's number and the system's text for it.
    virtual std::string getErrorString(int source) = 0;
    // Raises Exception "unsupported special folder type '%d'" for other values.
    virtual std::string getSpecialFolder(int folder) = 0;
    virtual void debugOutput(const std::string &text, const char *file, int line) = 0;
    virtual void sleep(unsigned milliseconds) = 0;
    // Names `thread` (null: the calling thread) for debuggers and tools.
    virtual void setThreadName(const std::string &name, std::thread *thread) = 0;

    // The operating system and the machine it runs on, as the system reports
    // them: "Linux (x86_64)".
    virtual std::string getPlatformName() = 0;
    // The calling process's identifier.
    virtual int getProcessId() = 0;
    // The machine's IPv4 interfaces that are up, broadcast-capable and not loopback.
    virtual std::vector<Interface> getBroadcastInterfaces() = 0;
    // The processes whose executable can be read, without the calling process.
    virtual std::vector<Process> listProcesses() = 0;
    // Ends a process at once; false when it could not be signalled.
    virtual bool terminateProcess(int id) = 0;
    // True while a process with this identifier exists (also one this user
    // may not signal or open).
    virtual bool processExists(int id) = 0;
    // The login name of the user the process runs as; empty when unknown.
    virtual std::string getUserName() = 0;
    // Waits until the process has ended; false when it still runs after the time.
    virtual bool waitForProcessEnd(int id, unsigned milliseconds) = 0;
    // Hands the pages of memory that the process has freed back to the
    // system, so that resident memory follows what is in use rather than its
    // highest level so far.
    virtual void releaseFreeMemory() = 0;
};
