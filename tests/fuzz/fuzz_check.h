// What every fuzz target shares: a property check that stops the run with
// a readable message, so a broken property is reported as a crash with its
// input saved, like a memory fault would be.
#pragma once

#include <cstdio>
#include <cstdlib>

// Aborts with the failed condition and its place when cond is false. Any thread.
#define ZELKORD_FUZZ_CHECK(cond)                                                         \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      std::fprintf(stderr, "property failed: %s at %s:%d\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)
