// The harnesses' one assertion: a property that fails stops the run, so
// libFuzzer keeps the input as a crash.
#ifndef TARVIK_FUZZ_CHECK_H
#define TARVIK_FUZZ_CHECK_H

#include <stdio.h>
#include <stdlib.h>

#define CHECK(c)                                                         \
    do {                                                                 \
        if (!(c)) {                                                      \
            fprintf(stderr, "check failed: %s (%s:%d)\n", #c, __FILE__, \
                    __LINE__);                                           \
            abort();                                                     \
        }                                                                \
    } while (0)

#endif
