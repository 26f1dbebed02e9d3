// Linked into the Windows test programs: starts the platform before the
// first test, as the programs do in main(), since on Windows no socket opens
// before Winsock has been started.

#include "platform.h"

#include <gtest/gtest.h>

namespace {

class PlatformEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(Platform::instance().initialize()) << "Winsock did not start"; }
};

// GoogleTest owns and deletes the environments it is given.
const ::testing::Environment *const platformEnvironment = ::testing::AddGlobalTestEnvironment(new PlatformEnvironment);

} // namespace
