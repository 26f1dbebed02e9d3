#pragma once

#include <string>

// Removes a program image of an older bridge version that may still run on
// the machine: at once, then at most every 15 minutes (on the monotonic
// clock), it ends every other process whose executable is named "orvel-bridge.exe"
// (in any case), waits up to 5 s for it and deletes its image file.
void killOldBridge();

// The work of one pass, for processes whose executable's file name equals
// `imageName` without regard to case; never this process. Returns false (and
// logs "Failed to remove old bridge version") when a step failed.
bool removeOldBridges(const std::string &imageName = "orvel-bridge.exe");
