#pragma once

// An invariant of a harness: when it does not hold, the input is a finding.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                              \
    do {                                                                                              \
        if (!(cond)) {                                                                                \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond);         \
            std::abort();                                                                             \
        }                                                                                             \
    } while (false)
