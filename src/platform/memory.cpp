#include "platform/memory.h"

#include <malloc.h>

namespace rureza {

void KeepHeapsTrim() {
  static const bool done = [] {
    ::mallopt(M_MMAP_THRESHOLD, 256 << 10);
    ::mallopt(M_TRIM_THRESHOLD, 1 << 20);
    return true;
  }();
  (void)done;
}

void ReturnFreeMemory() {
  // Every arena, not only the main one: each client thread allocates from its own.
  ::malloc_trim(0);
}

}  // namespace rureza
