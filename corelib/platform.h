#pragma once

// The IPlatform of the system the library is built for, reached through
// Platform::instance(): PlatformWindows on Windows, PlatformPosix elsewhere.
#ifdef _WIN32
#include "platformwindows.h"
using Platform = PlatformWindows;
#else
#include "platformposix.h"
using Platform = PlatformPosix;
#endif
