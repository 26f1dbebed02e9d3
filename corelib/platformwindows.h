#pragma once

#include "iplatform.h"
#include "singleton.h"

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

// IPlatform on Windows, reached through Singleton<PlatformWindows>::instance().
// Error numbers are WSAGetLastError values for the socket layer (source 1) and
// GetLastError values otherwise; WSAETIMEDOUT is "timed out", ERROR_IO_PENDING
// and WSAEWOULDBLOCK "pending". The special folders are the shell's roaming
// and local application-data folders and the documents folder, each with one
// trailing backslash. Debugger output goes to OutputDebugString; thread names
// to SetThreadDescription (where kernel32 has it) and, while a debugger is
// attached, to the debugger's naming exception. No state: every operation may
// run on any thread.
class PlatformWindows : public IPlatform, public Singleton<PlatformWindows> {
public:
    // A row of the IPv4 route table, its addresses in network order as the
    // table holds them.
    struct Route {
        uint32_t destination = 0;
        uint32_t mask = 0;
        uint32_t type = 0;
        uint32_t nextHop = 0;
        unsigned interfaceIndex = 0;
    };

    // Starts Winsock 2.2 (see startSockets). Call it before any socket opens.
    bool initialize() override;
    // Winsock stays started until the process ends.
    void finalize() override {}

    int getErrorCode(int source) override;
    int getErrorID(int source) override;
    std::string getErrorString(int source) override;
    std::string getSpecialFolder(int folder) override;
    void debugOutput(const std::string &text, const char *file, int line) override;
    void sleep(unsigned milliseconds) override;
    void setThreadName(const std::string &name, std::thread *thread) override;
    // "Win (x64)", the architecture being the build's: x64, x86 or arm64.
    std::string getPlatformName() override;
    int getProcessId() override;
    // The limited-broadcast routes of the route table (see broadcastInterfacesOf);
    // empty when the table cannot be read. Interface names stay empty.
    std::vector<Interface> getBroadcastInterfaces() override;
    // Through the process status library, loaded at run time; a process whose
    // image name cannot be read is left out.
    std::vector<Process> listProcesses() override;
    // False for the calling process, which is never ended here.
    bool terminateProcess(int id) override;
    bool processExists(int id) override;
    std::string getUserName() override;
    // True also when no process has the identifier (any more).
    bool waitForProcessEnd(int id, unsigned milliseconds) override;
    // Compacts the C run-time's heap, handing its free blocks back.
    void releaseFreeMemory() override;

    // The class and the "#%d (%s)" text (empty when the system has none) of a
    // given error number.
    static int errorClassOf(int errorNumber, int source);
    static std::string errorText(int errorNumber);

    // The interfaces that the routes give: one (next hop, 255.255.255.255) in
    // host order, with the route's interface index, for each direct route
    // (type 3) to 255.255.255.255/32 whose next hop is not 127.0.0.1.
    static std::vector<Interface> broadcastInterfacesOf(const std::vector<Route> &routes);

    // The start-up of initialize: calls `startup` (which returns the start-up's
    // error number, 0 on success) until it succeeds, at most 5 times, pausing
    // 500 ms with `pause` after each WSAEINPROGRESS or WSASYSNOTREADY; any
    // other error, or the fifth failure, writes "Network interface error: N"
    // and a line end to `errors` and gives false.
    static bool startSockets(const std::function<int()> &startup, const std::function<void(unsigned)> &pause,
                             std::ostream &errors);

protected:
    PlatformWindows() = default;
};
