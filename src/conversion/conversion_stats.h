// The process's conversion figures for the status page and the metrics: counters the
// conversions and the cache bump as things happen, and gauges they set.
// Thread safety: relaxed atomics, any thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace rureza {

struct ConversionStats {
  std::atomic<uint64_t> started{0};      // converter processes that wrote a conversion
  std::atomic<uint64_t> failed{0};       // plays that ended with "Can Not Convert File"
  std::atomic<int64_t> running{0};       // of those started, the ones alive now
  std::atomic<uint64_t> cacheHits{0};    // a play found its conversion kept
  std::atomic<uint64_t> cacheMisses{0};  // ... and did not
  std::atomic<int64_t> cacheEntries{0};
  std::atomic<int64_t> cacheBytes{0};
  std::atomic<uint64_t> cacheBound{0};  // 0 until a cache is opened
};

ConversionStats& ProcessConversionStats();

}  // namespace rureza
