#pragma once
// The process's heap as the operating system sees it. Any thread may call these.
#include <cstddef>
#include <string>

namespace platform {

// Hands pages the allocator holds free back to the system, so memory a burst of large messages
// used stops counting as resident. Costs a walk over the heap: call it after giving back large
// buffers, not per message.
void ReturnFreeMemoryToSystem();

// Asks the system to back the whole 2 MiB pages within [data, data + length) with huge pages
// when it first touches them: a buffer of many MiB filled once then costs a few dozen page
// faults instead of thousands. A hint only; nothing changes for the caller when it is ignored.
void AdviseHugePages(void* data, size_t length);

// s.reserve(length), with huge pages advised when that takes a fresh allocation of 4 MiB or more:
// for a buffer about to be filled once with a large payload.
void ReserveForLargeFill(std::string& s, size_t length);

// The process's resident memory in bytes, 0 when it cannot be read.
size_t ResidentBytes();

}  // namespace platform
