#pragma once

#include <cstdio>
#include <cstdlib>

// A property of the fuzzed code. A violation prints the property and aborts, which libFuzzer
// reports as a crash and saves the input for.
#define FUZZ_CHECK(condition)                                                                 \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (false)
