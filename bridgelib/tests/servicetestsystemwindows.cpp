#include "servicetesttools.h"
#include "platform.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

namespace {

// Starts the platform before the first test, as the programs do in main():
// on Windows no socket opens before Winsock has been started.
class PlatformEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(Platform::instance().initialize()) << "Winsock did not start"; }
};

// GoogleTest owns and deletes the environments it is given.
const ::testing::Environment *const platformEnvironment = ::testing::AddGlobalTestEnvironment(new PlatformEnvironment);

} // namespace

namespace servicetest {

size_t threadCount()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    const DWORD self = GetCurrentProcessId();
    size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL found = Thread32First(snapshot, &entry); found; found = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == self ? 1 : 0;
    CloseHandle(snapshot);
    return count;
}

} // namespace servicetest
