#pragma once

// A broken invariant stops the run at once: libFuzzer keeps the input as a
// crash, and a replay run fails with it.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(Condition, What)                                                  \
  do {                                                                               \
    if (!(Condition)) {                                                              \
      std::fprintf(stderr, "%s:%d: %s: %s\n", __FILE__, __LINE__, #Condition, What); \
      std::abort();                                                                  \
    }                                                                                \
  } while (false)
