// The process's heap as the system sees it.
// Thread safety: any thread.
#pragma once

namespace rureza {

// Gives the pages the heap holds free back to the system, so that memory a large job used
// (a listing of a big library, say) does not stay resident after it ends.
void ReturnFreeMemory();

}  // namespace rureza
