// The process's heap as the system sees it.
// Thread safety: any thread.
#pragma once

namespace rureza {

// Gives the pages the heap holds free back to the system, so that memory a large job used
// (a listing of a big library, say) does not stay resident after it ends.
void ReturnFreeMemory();

// Fixes the allocator's thresholds, once per process: a block of 256 KiB or more is mapped on
// its own and unmapped when freed, and each thread's heap gives back its free top. Left to
// itself the allocator raises both after every large block freed, so what a listing held in
// the heaps of its thread stayed resident once the thread ended.
void KeepHeapsTrim();

}  // namespace rureza
