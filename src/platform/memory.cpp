#include "platform/memory.h"

#include <malloc.h>
#include <unistd.h>

#include <cstdio>

namespace platform {

void ReturnFreeMemoryToSystem() { malloc_trim(0); }

size_t ResidentBytes() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  unsigned long size = 0, resident = 0;
  const int got = std::fscanf(f, "%lu %lu", &size, &resident);
  std::fclose(f);
  if (got != 2) return 0;
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace platform
