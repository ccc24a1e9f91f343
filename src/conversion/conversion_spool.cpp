#include "conversion/conversion_spool.h"

#include <algorithm>

namespace rureza {

ConversionSpool ConversionSpool::Whole(File file) {
  ConversionSpool spool;
  spool.file_ = std::move(file);
  return spool;
}

ConversionSpool ConversionSpool::Ring(File file, int64_t capacity, int64_t keepBehind) {
  ConversionSpool spool;
  spool.file_ = std::move(file);
  spool.capacity_ = capacity;
  spool.keepBehind_ = keepBehind;
  return spool;
}

int64_t ConversionSpool::WriteLimit(int64_t written, int64_t slowestReader) const {
  if (!ring()) return INT64_MAX;
  // A slot may take a new byte once the byte it holds is behind what any play may come back to.
  const int64_t kept = std::max<int64_t>(0, std::min(slowestReader, written) - keepBehind_);
  return kept + capacity_;
}

bool ConversionSpool::Write(int64_t at, const char* data, size_t length) {
  if (!ring()) return file_.WriteAt(data, length, at);
  while (length > 0) {
    const int64_t slot = at % capacity_;
    const size_t n = static_cast<size_t>(std::min(capacity_ - slot, static_cast<int64_t>(length)));
    if (!file_.WriteAt(data, n, slot)) return false;
    if (slot < kRingMirror) {
      const size_t mirrored = static_cast<size_t>(std::min<int64_t>(n, kRingMirror - slot));
      if (!file_.WriteAt(data, mirrored, capacity_ + slot)) return false;
    }
    at += static_cast<int64_t>(n);
    data += n;
    length -= n;
  }
  return true;
}

int64_t ConversionSpool::Lowest(int64_t start, int64_t written) const {
  return ring() ? std::max(start, written - capacity_) : start;
}

std::pair<int64_t, int64_t> ConversionSpool::Locate(int64_t at, int64_t written) const {
  if (!ring()) return {at, written - at};
  const int64_t offset = at % capacity_;
  return {offset, std::min(written - at, capacity_ + kRingMirror - offset)};
}

}  // namespace rureza
