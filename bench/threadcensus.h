#pragma once

#include <cstddef>
#include <set>
#include <sys/types.h>

// The threads of this process by kernel thread id (/proc/self/task), to check
// that a path ended every thread it started once it was stopped.
namespace ThreadCensus {

// The threads running now; empty when /proc/self/task is unreadable.
std::set<pid_t> current();
// How many threads run that are not in `before`, after waiting up to
// `graceMs` for them to end (a detached thread may still be on its way out
// when the one it reported to has finished waiting).
size_t leftSince(const std::set<pid_t> &before, unsigned graceMs);

} // namespace ThreadCensus
