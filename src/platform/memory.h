#pragma once
// The process's heap as the operating system sees it. Any thread may call these.
#include <cstddef>

namespace platform {

// Hands pages the allocator holds free back to the system, so memory a burst of large messages
// used stops counting as resident. Costs a walk over the heap: call it after giving back large
// buffers, not per message.
void ReturnFreeMemoryToSystem();

// The process's resident memory in bytes, 0 when it cannot be read.
size_t ResidentBytes();

}  // namespace platform
