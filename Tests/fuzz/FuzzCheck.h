// The check the fuzz targets use for their properties: a broken property prints what failed and
// aborts, which libFuzzer records as a crash with its input and the replay program as a failed
// test. Callable from any thread.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void fuzzRequire(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "Property broken: %s\n", property);
        std::abort();
    }
}
