// The shape of every converted video: a DVD-style MPEG-2 program stream of 2,048-byte packs at
// a constant mux rate, planned from nothing but the source's duration and the TV standard, so
// that the server and the converter compute the same plan and the stream's length and its last
// 32,768 bytes are known before the first frame is converted.
//
// Pack i starts at byte i x 2048 and its clock (SCR) is the time of that byte at the mux rate:
// i x 2048 x 8 / muxRate s, so the clock of any byte follows from its position. Picture and
// sound lie in the first contentPacks packs (padding packs fill what they leave); the last
// kTailPacks packs are padding packs whose bytes are a function of the plan alone (MpegTail),
// the very last ending with the program end code. The first picture is shown kStartDelay90k
// after the first pack's clock, so the tail's clock minus the first pack's is the duration plus
// less than a second: an adapter reads the stream's end time from it.
//
// The rate: the adapter's offsets are signed 32-bit, so a stream holds fewer than 2^31 bytes.
// Up to about 47 minutes a video gets kTopMuxRate (DVD quality, under half the MPEG path's
// 13.1 Mbit/s pace, so fast forward has room); a longer one gets the highest rate (in steps of
// kMuxRateStep) whose stream still fits, with the picture halved in width below
// kFullWidthVideoRate and in height too below kHalfHeightVideoRate, as a DVD recorder's long
// play modes do. Below kLeastMuxRate (a video of about 12 hours) no picture is left to watch:
// such a video is refused.
// Thread safety: constants and pure functions.
#pragma once

#include <cstdint>
#include <string>

namespace rureza {

enum class VideoStandard : uint32_t {
  kPal = 0,   // 720x576, 25 frames/s
  kNtsc = 1,  // 720x480, 30000/1001 frames/s
};

inline constexpr uint32_t kPackSize = 2048;
inline constexpr uint32_t kMpegTailBytes = 32768;
inline constexpr uint32_t kTailPacks = kMpegTailBytes / kPackSize;
// The most packs a stream may have: its length stays below 2^31.
inline constexpr uint64_t kMostPacks = ((uint64_t{1} << 31) - 1) / kPackSize;
// The 90 kHz clock of the first picture and sound: half a second after the first pack, which
// gives the decoder's buffer its start.
inline constexpr uint64_t kStartDelay90k = 45000;
// Time the plan leaves behind the last picture for data that comes late.
inline constexpr uint64_t kEndMarginMs = 300;
inline constexpr uint32_t kTopMuxRate = 6000000;
inline constexpr uint32_t kLeastMuxRate = 400000;
inline constexpr uint32_t kMuxRateStep = 8000;
inline constexpr uint32_t kFullWidthVideoRate = 2500000;
inline constexpr uint32_t kHalfHeightVideoRate = 1000000;
inline constexpr uint32_t kMpegAudioRate = 48000;
inline constexpr uint32_t kMpegAudioFrameSamples = 1152;  // MPEG-1 layer II

struct MpegPlan {
  VideoStandard standard = VideoStandard::kPal;
  uint64_t durationMs = 0;
  uint32_t width = 0;  // the coded picture
  uint32_t height = 0;
  uint32_t frameRateNum = 0;  // frames per second as num / den
  uint32_t frameRateDen = 1;
  uint32_t ticksPerFrame = 0;  // of the 90 kHz clock
  uint64_t videoFrames = 0;
  uint64_t audioFrames = 0;  // layer II frames at kMpegAudioRate
  uint32_t muxRate = 0;      // bit/s, a multiple of kMuxRateStep
  uint32_t videoBitRate = 0;
  uint32_t audioBitRate = 0;
  uint64_t contentPacks = 0;  // the packs before the padding that ends the stream
  int64_t length = 0;         // bytes: (contentPacks + kTailPacks) x kPackSize
};

// The stream for a source of durationMs at the standard. Empty on success, else why none can be
// made (no duration, or too long for the adapter's 2 GiB).
std::string PlanMpeg(uint64_t durationMs, VideoStandard standard, MpegPlan* plan);

// The 27 MHz clock of pack index (the system clock reference its header carries).
uint64_t PackClock(const MpegPlan& plan, uint64_t index);
// The 90 kHz presentation time of video frame n and of audio frame n.
inline uint64_t VideoFramePts(const MpegPlan& plan, uint64_t n) {
  return kStartDelay90k + n * plan.ticksPerFrame;
}
inline uint64_t AudioFramePts(uint64_t n) {
  return kStartDelay90k + n * (kMpegAudioFrameSamples * 90000 / kMpegAudioRate);
}

// An MPEG-2 pack header (14 bytes) with clock scr27 and the plan's mux rate.
std::string PackHeader(const MpegPlan& plan, uint64_t scr27);
// Pack index filled by one padding packet; the stream's last pack ends with the program end
// code instead.
std::string PaddingPack(const MpegPlan& plan, uint64_t index);
// The stream's last kMpegTailBytes: its padding packs.
std::string MpegTail(const MpegPlan& plan);

}  // namespace rureza
