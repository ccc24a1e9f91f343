// The shape of every converted song: constant-bitrate MPEG-1 layer III at 48 kHz, stereo, no
// tags. At 48 kHz a frame of a standard bitrate never carries a padding byte, so every frame has
// the same size and the stream's length and its byte <-> time mapping follow by arithmetic:
// a song of F frames is F x kMp3FrameBytes bytes, and byte offset o lies in frame
// o / kMp3FrameBytes, which starts at frame x 1152 / 48000 s.
// 256 kbit/s: LAME at that constant rate is transparent for practically every listener, a
// 4-minute song takes 7.7 MB of cache (a fifth less than the layer's 320 kbit/s ceiling) and
// 32 KB/s on the wire.
// Thread safety: constants and pure functions.
#pragma once

#include <cstdint>
#include <string_view>

namespace rureza {

inline constexpr uint32_t kMp3SampleRate = 48000;
inline constexpr uint32_t kMp3BitRate = 256000;
inline constexpr uint32_t kMp3FrameSamples = 1152;
inline constexpr uint32_t kMp3FrameBytes = 144 * kMp3BitRate / kMp3SampleRate;  // 768
// Samples of silence the encoder and a decoder put in front of the song (LAME's 576 and the
// decoder's 529): the frame count covers them, so the song's last sample is not cut.
inline constexpr uint32_t kMp3PrimingSamples = 1105;
// Lengths travel as signed 32-bit decimal text: the most frames a song may have.
inline constexpr uint64_t kMostMp3Frames = INT32_MAX / kMp3FrameBytes;

// The frames a song of sourceSamples samples at sourceRate Hz becomes: every sample resampled
// to 48 kHz plus the priming, rounded up to whole frames. 0 when the song has no samples or
// would not fit the adapter's 32-bit length.
uint64_t Mp3FramesFor(uint64_t sourceSamples, uint32_t sourceRate);

inline int64_t Mp3Length(uint64_t frames) { return static_cast<int64_t>(frames * kMp3FrameBytes); }
// The frame in which byte offset lies.
inline uint64_t Mp3FrameAt(int64_t offset) {
  return static_cast<uint64_t>(offset) / kMp3FrameBytes;
}
// Where a frame starts in the song, in milliseconds.
inline uint64_t Mp3FrameStartMs(uint64_t frame) {
  return frame * kMp3FrameSamples * 1000 / kMp3SampleRate;
}

// What a song not yet measured is listed as: its length guessed from the file's size and the
// usual bitrate of its format (ending without the dot, any case). Whole frames, at least one.
int64_t EstimatedMp3Length(std::string_view ending, int64_t fileSize);

}  // namespace rureza
