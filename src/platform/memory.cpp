#include "platform/memory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

namespace platform {

void ReturnFreeMemoryToSystem() { malloc_trim(0); }

void AdviseHugePages(void* data, size_t length) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHugePage = 2 * 1024 * 1024;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + length) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)length;
#endif
}

void ReserveForLargeFill(std::string& s, size_t length) {
  // Below this the page faults saved do not pay for the advice.
  constexpr size_t kHugePagesFromBytes = 4 * 1024 * 1024;
  const size_t kept = s.capacity();
  s.reserve(length);
  if (s.capacity() != kept && length >= kHugePagesFromBytes) AdviseHugePages(s.data(), s.capacity());
}

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
