// Property checks for the fuzz targets; they hold in release builds too.
#pragma once

#include <cstdio>
#include <cstdlib>

// A failed property aborts, so libFuzzer keeps the input as a crash.
#define ZAVRO_FUZZ_CHECK(condition)                                                         \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)
