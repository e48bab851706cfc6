// The peak resident set of this process image, for the benchmark programs to report themselves.
#pragma once

#include <cstdio>

namespace kestrix::bench {

// VmHWM in KiB: the peak of this process image, not counting what the parent held before exec
// (which a child's ru_maxrss would include). -1 when it cannot be read.
inline long peakRssKib() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f)) {
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  }
  std::fclose(f);
  return kib;
}

}  // namespace kestrix::bench
