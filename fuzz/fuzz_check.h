#pragma once

#include <cstdio>
#include <cstdlib>

// A broken property aborts, so libFuzzer keeps the input and a replay exits non-zero.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)
