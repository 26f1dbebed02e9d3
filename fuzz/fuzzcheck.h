#pragma once

#include <cstdio>
#include <cstdlib>

// A property every input must keep: when it fails, the target aborts with
// the condition's text, which libFuzzer reports as a crash and the corpus
// replay as a failed test.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);    \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
