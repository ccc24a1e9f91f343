#include "platform/memory.h"

#include <malloc.h>

namespace rureza {

void ReturnFreeMemory() {
  // Every arena, not only the main one: each client thread allocates from its own.
  ::malloc_trim(0);
}

}  // namespace rureza
