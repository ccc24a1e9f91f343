// What a song's file can actually hold, measured from the file itself (its size and the frames or
// pages at its end), never by decoding it: a header that claims more than this is not believed.
// Each measurement reads a few kilobytes through the descriptor with pread (its offset is left
// alone), so that measuring 10,000 songs takes seconds.
// Thread safety: pure functions of the file's bytes.
#pragma once

#include <cstdint>

namespace rureza {

inline constexpr uint64_t kUnbounded = UINT64_MAX;

// Samples per channel, at the stream's own rate (an Ogg Opus stream's: 48 kHz).
struct SampleBound {
  uint64_t samples = kUnbounded;
  // The samples the file holds, not merely at most: good as the length where a header states
  // none.
  bool exact = false;
};

// A FLAC file: where its last whole frame ends. Frames count whose header has a right CRC-8 and
// fits the stream (rate, channels, sample size), and whose whole bytes have a right CRC-16 (up
// to the next such header, or to the file's end); a frame the file cuts short counts for
// nothing. Exact; 0 when the file has no frame.
SampleBound FlacBound(int fd, uint64_t fileSize);

// An Ogg file: the granule position of the last page (with a right CRC-32) of the streamIndex-th
// logical stream, less an Opus stream's pre-skip. Unbounded when the file ends in another
// stream (a chained file) or no such page is near its end.
SampleBound OggBound(int fd, uint64_t fileSize, int streamIndex);

// Where a WAV's (RIFF, RF64, Wave64) or an AIFF's sample data lie, its end no further than the
// file's. False when the file has no such chunk.
struct ByteRange {
  uint64_t begin = 0;
  uint64_t end = 0;
};
bool WavData(int fd, uint64_t fileSize, ByteRange* data);
bool AiffData(int fd, uint64_t fileSize, ByteRange* data);

// The lowest bit rate (bits per second) a file coded with FFmpeg's codec codecId plausibly has,
// for a bound on formats whose end says nothing: fileBytes * 8 / rate seconds at most.
uint32_t LowestBitRate(int codecId);

}  // namespace rureza
