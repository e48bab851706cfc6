// The fuzz targets' invariant check: names the broken promise before aborting, so a finding
// explains itself.
#pragma once

#include <cstdio>
#include <cstdlib>

#define REQUIRE(condition)                                                         \
  do {                                                                             \
    if (!(condition)) {                                                            \
      std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                \
    }                                                                              \
  } while (false)
