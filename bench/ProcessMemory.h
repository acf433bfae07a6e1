// The resident memory of the running process, for the memory benchmarks.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quirel::bench {

// VmRSS of this process in KiB, or -1 when /proc cannot tell.
inline long ResidentKb() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::atol(line + 6);
  std::fclose(f);
  return kb;
}

}  // namespace quirel::bench
