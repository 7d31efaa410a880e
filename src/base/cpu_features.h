// What the processor offers beyond its baseline, found once at start, and
// the hints that use it.
#pragma once

#include <cstdint>

namespace zelkord::base {

// Whether the processor can fetch a line for writing (PREFETCHW). A line
// fetched only for reading, while another core holds it, needs a second
// trip before a store to it can retire, and the next locked instruction
// waits for that store.
extern const bool kHasPrefetchForWrite;

// Starts fetching the cache line at address for writing. A hint: never
// faults, any address. Any thread.
inline void PrefetchForWrite(std::uintptr_t address) {
#if defined(__x86_64__)
  if (kHasPrefetchForWrite) {
    asm volatile("prefetchw (%0)" : : "r"(address));
    return;
  }
#endif
  __builtin_prefetch(reinterpret_cast<const void*>(address), 1);
}

}  // namespace zelkord::base
