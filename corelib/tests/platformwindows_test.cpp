#include "platformwindows.h"

#include <winsock2.h>
#include <windows.h>

#include <boost/algorithm/string/predicate.hpp>
#include <future>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace {

IPlatform &platform()
{
    return PlatformWindows::instance();
}

// Closes a socket when it goes.
class ScopedSocket {
public:
    explicit ScopedSocket(SOCKET socket) : socket_(socket) {}
    ~ScopedSocket()
    {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
    }
    ScopedSocket(const ScopedSocket &) = delete;
    ScopedSocket &operator=(const ScopedSocket &) = delete;
    SOCKET get() const { return socket_; }

private:
    SOCKET socket_;
};

// Closes a kernel handle when it goes.
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ~ScopedHandle()
    {
        if (handle_)
            CloseHandle(handle_);
    }
    ScopedHandle(const ScopedHandle &) = delete;
    ScopedHandle &operator=(const ScopedHandle &) = delete;

private:
    HANDLE handle_;
};

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

uint16_t localPort(SOCKET socket)
{
    sockaddr_in address{};
    int length = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

// A "#N (text)" with the text trimmed, as getErrorString gives it.
void expectErrorTextShape(const std::string &text, int number)
{
    const std::string prefix = "#" + std::to_string(number) + " (";
    ASSERT_GT(text.size(), prefix.size() + 1) << text;
    EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0) << text;
    EXPECT_EQ(text.back(), ')') << text;
    const std::string inner = text.substr(prefix.size(), text.size() - prefix.size() - 1);
    ASSERT_FALSE(inner.empty()) << text;
    EXPECT_EQ(std::string(" \t\r\n").find(inner.front()), std::string::npos) << "trimmed in front: " << text;
    EXPECT_EQ(std::string(" \t\r\n").find(inner.back()), std::string::npos) << "trimmed at the end: " << text;
}

using GetThreadDescriptionFunction = HRESULT(WINAPI *)(HANDLE, PWSTR *);

// The thread's description, or nothing when kernel32 cannot tell.
bool threadDescription(HANDLE thread, std::wstring &description)
{
    const auto get = reinterpret_cast<GetThreadDescriptionFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetThreadDescription")));
    if (!get)
        return false;
    PWSTR text = nullptr;
    if (FAILED(get(thread, &text)))
        return false;
    description = text ? text : L"";
    LocalFree(text);
    return true;
}

} // namespace

TEST(PlatformWindows, SocketStartUpRetriesOnlyWhileTheNetworkIsNotReady)
{
    std::vector<unsigned> pauses;
    const auto pause = [&](unsigned milliseconds) { pauses.push_back(milliseconds); };

    int calls = 0;
    std::ostringstream errors;
    EXPECT_FALSE(PlatformWindows::startSockets([&] { return ++calls, WSASYSNOTREADY; }, pause, errors));
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(pauses, (std::vector<unsigned>{500, 500, 500, 500}));
    EXPECT_EQ(errors.str(), "Network interface error: 10091\n");

    calls = 0;
    pauses.clear();
    errors.str("");
    EXPECT_TRUE(PlatformWindows::startSockets([&] { return ++calls < 3 ? WSAEINPROGRESS : 0; }, pause, errors));
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(pauses.size(), 2u);
    EXPECT_EQ(errors.str(), "");

    calls = 0;
    pauses.clear();
    EXPECT_FALSE(PlatformWindows::startSockets([&] { return ++calls, WSAVERNOTSUPPORTED; }, pause, errors));
    EXPECT_EQ(calls, 1) << "other errors are final";
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(errors.str(), "Network interface error: 10092\n");
}

TEST(PlatformWindows, ErrorClassesAndTexts)
{
    EXPECT_EQ(PlatformWindows::errorClassOf(0, 1), IPlatform::NoError);
    EXPECT_EQ(PlatformWindows::errorClassOf(WSAETIMEDOUT, 1), IPlatform::TimedOut);
    EXPECT_EQ(PlatformWindows::errorClassOf(ERROR_IO_PENDING, 1), IPlatform::Pending);
    EXPECT_EQ(PlatformWindows::errorClassOf(WSAEWOULDBLOCK, 1), IPlatform::Pending);
    EXPECT_EQ(PlatformWindows::errorClassOf(WSAECONNREFUSED, 1), IPlatform::GeneralError);
    EXPECT_EQ(PlatformWindows::errorClassOf(WSAETIMEDOUT, 0), IPlatform::GeneralError) << "a system source knows no time-outs";
    EXPECT_EQ(PlatformWindows::errorClassOf(0, 0), IPlatform::NoError);

    // The system's wording is not compared: Wine's differs from Windows'.
    expectErrorTextShape(PlatformWindows::errorText(ERROR_FILE_NOT_FOUND), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(PlatformWindows::errorText(0x2000FFFF), "") << "no text for an unknown number";

    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(platform().getErrorID(0), ERROR_ACCESS_DENIED);
    EXPECT_EQ(platform().getErrorCode(0), IPlatform::GeneralError);
    expectErrorTextShape(platform().getErrorString(0), ERROR_ACCESS_DENIED);
    EXPECT_EQ(platform().getErrorID(0), ERROR_ACCESS_DENIED) << "reading the text keeps the error";
}

TEST(PlatformWindows, RefusedConnectIsAnError)
{
    ASSERT_TRUE(platform().initialize());
    uint16_t port = 0;
    {
        // A port that was just bound and released refuses connections.
        const ScopedSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address = loopback(0);
        ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        port = localPort(listener.get());
    }
    const ScopedSocket client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = loopback(port);
    ASSERT_NE(connect(client.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(platform().getErrorID(1), WSAECONNREFUSED);
    EXPECT_EQ(platform().getErrorCode(1), IPlatform::GeneralError);
    const std::string text = platform().getErrorString(1);
    if (!text.empty())  // Wine may have no text for it
        expectErrorTextShape(text, WSAECONNREFUSED);
}

TEST(PlatformWindows, ReceiveTimeOutIsTimedOut)
{
    ASSERT_TRUE(platform().initialize());
    const ScopedSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = loopback(0);
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    const ScopedSocket client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    address = loopback(localPort(listener.get()));
    ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const ScopedSocket server(accept(listener.get(), nullptr, nullptr));
    ASSERT_NE(server.get(), INVALID_SOCKET);

    const DWORD wait = 50;
    ASSERT_EQ(setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&wait), sizeof wait), 0);
    char byte;
    ASSERT_EQ(recv(client.get(), &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(platform().getErrorID(1), WSAETIMEDOUT);
    EXPECT_EQ(platform().getErrorCode(1), IPlatform::TimedOut);
}

TEST(PlatformWindows, SpecialFoldersAreShellPathsWithBackslashes)
{
    for (const int folder : {IPlatform::ApplicationData, IPlatform::Documents, IPlatform::LocalApplicationData}) {
        const std::string path = platform().getSpecialFolder(folder);
        ASSERT_GE(path.size(), 4u) << "folder " << folder;
        EXPECT_EQ(path.substr(1, 2), ":\\") << "a drive path: " << path;
        EXPECT_EQ(path.find('/'), std::string::npos) << path;
        EXPECT_EQ(path.back(), '\\') << path;
        EXPECT_NE(path[path.size() - 2], '\\') << path;
    }
    EXPECT_NE(platform().getSpecialFolder(IPlatform::ApplicationData),
              platform().getSpecialFolder(IPlatform::LocalApplicationData));
}

TEST(PlatformWindows, PlatformNameNamesTheBuildsArchitecture)
{
    static_assert(sizeof(void *) == 8, "this test expects the x86-64 build");
    EXPECT_EQ(platform().getPlatformName(), "Win (x64)");
}

TEST(PlatformWindows, BroadcastInterfacesAreTheLimitedBroadcastRoutes)
{
    using Route = PlatformWindows::Route;
    const uint32_t all = 0xffffffffu;
    const std::vector<Route> routes = {
        {htonl(0xC0A80100u), htonl(0xFFFFFF00u), 3, htonl(0xC0A80114u), 7},  // the subnet, not the limited address
        {all, all, 3, htonl(0xC0A80114u), 7},                                // 192.168.1.20
        {all, all, 3, htonl(0x7F000001u), 1},                                // loopback
        {all, all, 4, htonl(0x0A000005u), 9},                                // indirect
        {all, htonl(0xFFFFFF00u), 3, htonl(0x0A000006u), 9},                  // another mask
        {0, 0, 4, htonl(0xC0A80101u), 7},                                    // the default route
        {all, all, 3, htonl(0x0A000002u), 12},                               // 10.0.0.2
    };
    const auto interfaces = PlatformWindows::broadcastInterfacesOf(routes);
    ASSERT_EQ(interfaces.size(), 2u);
    EXPECT_EQ(interfaces[0].address, 0xC0A80114u);
    EXPECT_EQ(interfaces[0].broadcast, all);
    EXPECT_EQ(interfaces[0].index, 7u);
    EXPECT_EQ(interfaces[1].address, 0x0A000002u);
    EXPECT_EQ(interfaces[1].broadcast, all);
    EXPECT_EQ(interfaces[1].index, 12u);
    EXPECT_TRUE(PlatformWindows::broadcastInterfacesOf({}).empty());

    // The machine's own table: whatever it holds passes the same filter.
    for (const auto &entry : platform().getBroadcastInterfaces()) {
        EXPECT_EQ(entry.broadcast, all);
        EXPECT_NE(entry.address, 0x7F000001u);
    }
}

TEST(PlatformWindows, ProcessesCanBeListedEndedAndAwaited)
{
    // A suspended copy of this program: listed and ended, it never runs.
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    ASSERT_GT(length, 0u);
    const std::string selfPath(self, length);
    const std::string selfName = selfPath.substr(selfPath.find_last_of("\\/") + 1);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    std::string commandLine = "\"" + selfPath + "\" --gtest_list_tests";
    ASSERT_TRUE(CreateProcessA(self, &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                               &startup, &child));
    const ScopedHandle process(child.hProcess);
    const ScopedHandle thread(child.hThread);
    const int id = static_cast<int>(child.dwProcessId);

    bool listed = false;
    for (const auto &entry : platform().listProcesses()) {
        EXPECT_NE(entry.id, static_cast<int>(GetCurrentProcessId())) << "the own process is never listed";
        if (entry.id == id) {
            listed = true;
            EXPECT_TRUE(boost::algorithm::iends_with(entry.image, "\\" + selfName)) << entry.image;
        }
    }
    EXPECT_TRUE(listed);

    EXPECT_FALSE(platform().waitForProcessEnd(id, 50));
    EXPECT_TRUE(platform().terminateProcess(id));
    EXPECT_TRUE(platform().waitForProcessEnd(id, 5000));
    DWORD exitCode = 0;
    ASSERT_TRUE(GetExitCodeProcess(child.hProcess, &exitCode));
    EXPECT_NE(exitCode, STILL_ACTIVE);
    EXPECT_FALSE(platform().terminateProcess(static_cast<int>(GetCurrentProcessId())));
}

TEST(PlatformWindows, ThreadNamesReachTheThreadDescription)
{
    if (IsDebuggerPresent())
        GTEST_SKIP() << "this case is about naming threads without a debugger";
    std::promise<void> named;
    std::wstring givenByOwner;
    std::wstring givenBySelf;
    bool described = false;
    std::thread worker([&] {
        named.get_future().wait();
        described = threadDescription(GetCurrentThread(), givenByOwner);
        platform().setThreadName("Printer thread", nullptr);
        threadDescription(GetCurrentThread(), givenBySelf);
    });
    platform().setThreadName("class BridgeService", &worker);
    named.set_value();
    worker.join();
    if (!described)
        GTEST_SKIP() << "this system keeps no thread descriptions";
    EXPECT_EQ(givenByOwner, L"class BridgeService");
    EXPECT_EQ(givenBySelf, L"Printer thread");
}
