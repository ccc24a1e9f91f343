// ConversionSpool: where one conversion's bytes (the stream's bytes [start, end)) are kept as
// they come, for the plays that send them. Whole: a file holds every one of them at its stream
// offset (a cache part being written, a file without a name beside the cache). Ring: a file of
// `capacity` bytes holds the latest of them at their offset modulo capacity, and the writer
// waits rather than overwrite what a play still needs, also `keepBehind` bytes behind the
// slowest play (for backward steps); so a conversion with no room on the disk runs in bounded
// memory. A ring's first kRingMirror bytes are also kept past its end, so any run of that many
// bytes lies in one piece of the file (a block sent in one call, wherever a seek put it).
// Thread safety: a value; its owner (a ConversionJob) guards it.
#pragma once

#include <cstdint>
#include <utility>

#include "platform/file.h"

namespace rureza {

class ConversionSpool {
 public:
  static constexpr int64_t kRingMirror = 64 * 1024;

  ConversionSpool() = default;
  static ConversionSpool Whole(File file);
  // The file takes capacity + kRingMirror bytes. REQUIRES: 0 <= keepBehind < capacity,
  // kRingMirror <= capacity.
  static ConversionSpool Ring(File file, int64_t capacity, int64_t keepBehind);

  bool valid() const { return file_.valid(); }
  bool ring() const { return capacity_ > 0; }
  File& file() { return file_; }

  // The stream offset below which bytes may be written now, given how far they are written,
  // and where the slowest play reads (start when none does yet).
  int64_t WriteLimit(int64_t written, int64_t slowestReader) const;
  // Writes bytes that begin at stream offset `at`. REQUIRES: within WriteLimit.
  bool Write(int64_t at, const char* data, size_t length);
  // The oldest stream offset still held when bytes up to `written` came (those from start on).
  int64_t Lowest(int64_t start, int64_t written) const;
  // Where the byte at stream offset `at` lies in the file, and how many of those after it, up
  // to `written`, follow it there without a wrap. REQUIRES: Lowest <= at < written.
  std::pair<int64_t, int64_t> Locate(int64_t at, int64_t written) const;

 private:
  File file_;
  int64_t capacity_ = 0;  // 0: whole
  int64_t keepBehind_ = 0;
};

}  // namespace rureza
