#include "platformwindows.h"

#include "exception.h"
#include "filesystem.h"
#include "stringutils.h"

// winsock2.h before windows.h, which would otherwise bring the old winsock.h.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <shlobj.h>

#include <iostream>
#include <malloc.h>
#include <pthread.h>

namespace {

constexpr DWORD ThreadNameException = 0x406D1388;
constexpr DWORD NeutralLanguage = 1024;  // neutral language, default sub-language
constexpr int StartupAttempts = 5;
constexpr unsigned StartupPauseMs = 500;

// Closes a kernel handle when it goes; null is no handle.
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

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HANDLE handle_;
};

// A DLL loaded by name for the life of the object.
class ScopedLibrary {
public:
    explicit ScopedLibrary(const char *name) : module_(LoadLibraryA(name)) {}
    ~ScopedLibrary()
    {
        if (module_)
            FreeLibrary(module_);
    }
    ScopedLibrary(const ScopedLibrary &) = delete;
    ScopedLibrary &operator=(const ScopedLibrary &) = delete;

    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

// The entry point `name` of `module` as a function of type F; null when the
// module lacks it. The detour through a parameterless function type keeps the
// compiler from warning about the cast between unrelated function types.
template <typename F>
F procedure(HMODULE module, const char *name)
{
    if (!module)
        return nullptr;
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The process status library's entry points that listProcesses uses.
using EnumProcessesFunction = BOOL(WINAPI *)(DWORD *, DWORD, DWORD *);
using GetModuleFileNameExFunction = DWORD(WINAPI *)(HANDLE, HMODULE, LPSTR, DWORD);
// Kernel32's thread naming, present from Windows 10 1607 on.
using SetThreadDescriptionFunction = HRESULT(WINAPI *)(HANDLE, PCWSTR);

// The record of the debuggers' thread-naming exception.
#pragma pack(push, 8)
struct ThreadNameInfo {
    DWORD type;         // 0x1000
    LPCSTR name;
    DWORD threadId;     // -1 for the calling thread
    DWORD flags;        // reserved, 0
};
#pragma pack(pop)

// Continues after the naming exception when the debugger passes it on, so
// that it never ends the process.
LONG CALLBACK continueAfterThreadName(EXCEPTION_POINTERS *pointers)
{
    return pointers->ExceptionRecord->ExceptionCode == ThreadNameException ? EXCEPTION_CONTINUE_EXECUTION
                                                                             : EXCEPTION_CONTINUE_SEARCH;
}

// Registers continueAfterThreadName for the life of the object.
class ScopedExceptionHandler {
public:
    ScopedExceptionHandler() : handler_(AddVectoredExceptionHandler(1, continueAfterThreadName)) {}
    ~ScopedExceptionHandler()
    {
        if (handler_)
            RemoveVectoredExceptionHandler(handler_);
    }
    ScopedExceptionHandler(const ScopedExceptionHandler &) = delete;
    ScopedExceptionHandler &operator=(const ScopedExceptionHandler &) = delete;

    explicit operator bool() const { return handler_ != nullptr; }

private:
    void *handler_;
};

std::wstring wideText(const std::string &text)
{
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

// The image path of a process: the process status library's module name, else
// the kernel's image name (which also serves processes whose modules cannot be
// read, such as those of another bitness or not yet started); empty when
// neither can be had.
std::string imageOf(DWORD id, GetModuleFileNameExFunction moduleFileName)
{
    char path[MAX_PATH * 4];
    if (moduleFileName) {
        const ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id));
        if (process) {
            const DWORD length = moduleFileName(process.get(), nullptr, path, sizeof path);
            if (length > 0 && length < sizeof path)
                return std::string(path, length);
        }
    }
    const ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    DWORD length = sizeof path;
    if (process && QueryFullProcessImageNameA(process.get(), 0, path, &length) && length > 0)
        return std::string(path, length);
    return std::string();
}

} // namespace

bool PlatformWindows::startSockets(const std::function<int()> &startup, const std::function<void(unsigned)> &pause,
                                   std::ostream &errors)
{
    for (int attempt = 1;; ++attempt) {
        const int error = startup();
        if (error == 0)
            return true;
        const bool transient = error == WSAEINPROGRESS || error == WSASYSNOTREADY;
        if (!transient || attempt == StartupAttempts) {
            errors << "Network interface error: " << error << std::endl;
            return false;
        }
        pause(StartupPauseMs);
    }
}

bool PlatformWindows::initialize()
{
    return startSockets(
        [] {
            WSADATA data;
            return WSAStartup(MAKEWORD(2, 2), &data);
        },
        [this](unsigned milliseconds) { sleep(milliseconds); }, std::cerr);
}

int PlatformWindows::errorClassOf(int errorNumber, int source)
{
    if (errorNumber == 0)
        return NoError;
    if (source != 1)
        return GeneralError;
    if (errorNumber == WSAETIMEDOUT)
        return TimedOut;
    if (errorNumber == ERROR_IO_PENDING || errorNumber == WSAEWOULDBLOCK)
        return Pending;
    return GeneralError;
}

std::string PlatformWindows::errorText(int errorNumber)
{
    // Reading the text must not change the error that callers go on to read.
    const DWORD saved = GetLastError();
    char text[1024];
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(errorNumber), NeutralLanguage, text, sizeof text, nullptr);
    SetLastError(saved);
    std::string message(text, length < sizeof text ? length : 0);
    const char *blanks = " \t\r\n";
    const size_t first = message.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    message = message.substr(first, message.find_last_not_of(blanks) - first + 1);
    return formatString("#%d (%s)", errorNumber, message.c_str());
}

int PlatformWindows::getErrorCode(int source)
{
    return errorClassOf(getErrorID(source), source);
}

int PlatformWindows::getErrorID(int source)
{
    return source == 1 ? WSAGetLastError() : static_cast<int>(GetLastError());
}

std::string PlatformWindows::getErrorString(int source)
{
    return errorText(getErrorID(source));
}

std::string PlatformWindows::getSpecialFolder(int folder)
{
    int csidl = 0;
    switch (folder) {
    case ApplicationData:
        csidl = CSIDL_APPDATA;
        break;
    case Documents:
        csidl = CSIDL_PERSONAL;
        break;
    case LocalApplicationData:
        csidl = CSIDL_LOCAL_APPDATA;
        break;
    default:
        THROW_EXCEPTION(formatString("unsupported special folder type '%d'", folder));
    }
    char path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)))
        path[0] = '\0';
    return FileSystem::normalizePath(path, true);
}

void PlatformWindows::debugOutput(const std::string &text, const char *file, int line)
{
    if (file && line != 0)
        OutputDebugStringA(formatString("%s (%d): ", file, line).c_str());
    OutputDebugStringA(text.c_str());
    OutputDebugStringA("\n");
}

void PlatformWindows::sleep(unsigned milliseconds)
{
    Sleep(milliseconds);
}

void PlatformWindows::setThreadName(const std::string &name, std::thread *thread)
{
    HANDLE handle = GetCurrentThread();
    DWORD id = GetCurrentThreadId();
    if (thread) {
        if (!thread->joinable())
            return;
        handle = static_cast<HANDLE>(pthread_gethandle(thread->native_handle()));
        id = handle ? GetThreadId(handle) : 0;
        if (id == 0)
            return;
    }
    const auto describe =
        procedure<SetThreadDescriptionFunction>(GetModuleHandleA("kernel32.dll"), "SetThreadDescription");
    if (describe)
        describe(handle, wideText(name).c_str());

    // Without a debugger nobody would handle the exception, and this compiler
    // has no structured exception handling to catch it.
    if (!IsDebuggerPresent())
        return;
    const ScopedExceptionHandler guard;
    if (!guard)
        return;
    ThreadNameInfo info{0x1000, name.c_str(), id, 0};
    RaiseException(ThreadNameException, 0, sizeof info / sizeof(ULONG_PTR), reinterpret_cast<ULONG_PTR *>(&info));
}

std::string PlatformWindows::getPlatformName()
{
#if defined(_M_ARM64) || defined(__aarch64__)
    return "Win (arm64)";
#elif defined(_M_X64) || defined(__x86_64__)
    return "Win (x64)";
#else
    return "Win (x86)";
#endif
}

int PlatformWindows::getProcessId()
{
    return static_cast<int>(GetCurrentProcessId());
}

std::vector<IPlatform::Interface> PlatformWindows::broadcastInterfacesOf(const std::vector<Route> &routes)
{
    constexpr uint32_t Limited = 0xffffffffu;
    constexpr uint32_t DirectRoute = 3;
    constexpr uint32_t Loopback = 0x7f000001u;
    std::vector<Interface> result;
    for (const Route &route : routes) {
        if (route.destination != Limited || route.mask != Limited || route.type != DirectRoute ||
            ntohl(route.nextHop) == Loopback)
            continue;
        Interface item;
        item.address = ntohl(route.nextHop);
        item.broadcast = Limited;
        item.index = route.interfaceIndex;
        result.push_back(item);
    }
    return result;
}

std::vector<IPlatform::Interface> PlatformWindows::getBroadcastInterfaces()
{
    // The table may grow between the call that sizes it and the one that
    // reads it; a few rounds settle that.
    std::vector<unsigned char> buffer(sizeof(MIB_IPFORWARDTABLE));
    DWORD status = ERROR_INSUFFICIENT_BUFFER;
    for (int round = 0; round < 4 && status == ERROR_INSUFFICIENT_BUFFER; ++round) {
        ULONG size = static_cast<ULONG>(buffer.size());
        status = GetIpForwardTable(reinterpret_cast<MIB_IPFORWARDTABLE *>(buffer.data()), &size, FALSE);
        if (status == ERROR_INSUFFICIENT_BUFFER)
            buffer.resize(size);
    }
    if (status != NO_ERROR)
        return std::vector<Interface>();
    const auto *table = reinterpret_cast<const MIB_IPFORWARDTABLE *>(buffer.data());
    std::vector<Route> routes;
    routes.reserve(table->dwNumEntries);
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW &row = table->table[i];
        routes.push_back({row.dwForwardDest, row.dwForwardMask, row.dwForwardType, row.dwForwardNextHop,
                          static_cast<unsigned>(row.dwForwardIfIndex)});
    }
    return broadcastInterfacesOf(routes);
}

std::vector<IPlatform::Process> PlatformWindows::listProcesses()
{
    std::vector<Process> result;
    const ScopedLibrary psapi("psapi.dll");
    const auto enumerate = procedure<EnumProcessesFunction>(psapi.get(), "EnumProcesses");
    const auto moduleFileName = procedure<GetModuleFileNameExFunction>(psapi.get(), "GetModuleFileNameExA");
    if (!enumerate)
        return result;
    // A full buffer may have cut the list short: grow it until there is room.
    std::vector<DWORD> ids(1024);
    DWORD used = 0;
    for (;;) {
        const DWORD bytes = static_cast<DWORD>(ids.size() * sizeof(DWORD));
        if (!enumerate(ids.data(), bytes, &used))
            return result;
        if (used < bytes)
            break;
        ids.resize(ids.size() * 2);
    }
    const DWORD self = GetCurrentProcessId();
    for (size_t i = 0; i < used / sizeof(DWORD); ++i) {
        if (ids[i] == 0 || ids[i] == self)
            continue;
        std::string image = imageOf(ids[i], moduleFileName);
        if (!image.empty())
            result.push_back({static_cast<int>(ids[i]), std::move(image)});
    }
    return result;
}

bool PlatformWindows::terminateProcess(int id)
{
    if (id <= 0 || static_cast<DWORD>(id) == GetCurrentProcessId())
        return false;
    const ScopedHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(id)));
    return process && TerminateProcess(process.get(), 1);
}

bool PlatformWindows::processExists(int id)
{
    if (id <= 0)
        return false;
    const ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id)));
    if (!process)
        return GetLastError() != ERROR_INVALID_PARAMETER;  // exists, but this user may not open it
    DWORD code = 0;
    return !GetExitCodeProcess(process.get(), &code) || code == STILL_ACTIVE;
}

std::string PlatformWindows::getUserName()
{
    wchar_t name[257] = {};
    DWORD size = sizeof name / sizeof name[0];
    if (!GetUserNameW(name, &size))
        return std::string();
    const int length = WideCharToMultiByte(CP_UTF8, 0, name, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return std::string();
    std::string result(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, name, -1, &result[0], length, nullptr, nullptr);
    result.resize(static_cast<size_t>(length - 1));
    return result;
}

bool PlatformWindows::waitForProcessEnd(int id, unsigned milliseconds)
{
    const ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id)));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
    return WaitForSingleObject(process.get(), milliseconds) == WAIT_OBJECT_0;
}

void PlatformWindows::releaseFreeMemory()
{
    _heapmin();
}
