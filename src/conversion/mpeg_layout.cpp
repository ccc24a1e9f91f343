#include "conversion/mpeg_layout.h"

#include <cstdio>

namespace rureza {
namespace {

// Far beyond what any rate could fit (about 28 hours), far below where the products overflow.
constexpr uint64_t kMostDurationMs = 100000000;
// Bits of one pack at the 27 MHz clock, per kMuxRateStep of rate: a pack's clock is exact.
constexpr uint64_t kPackClockPerStep = uint64_t{kPackSize} * 8 * 27000000 / kMuxRateStep;
constexpr uint64_t kPackBitMs = uint64_t{kPackSize} * 8 * 1000;  // a pack's bits, times 1000 ms

// The time the content may take: the start delay, the duration and the margin behind it.
uint64_t SpanMs(uint64_t durationMs) { return kStartDelay90k / 90 + durationMs + kEndMarginMs; }

uint64_t ContentPacks(uint64_t durationMs, uint32_t muxRate) {
  return (SpanMs(durationMs) * muxRate + kPackBitMs - 1) / kPackBitMs;
}

bool Fits(uint64_t durationMs, uint32_t muxRate) {
  return ContentPacks(durationMs, muxRate) + kTailPacks <= kMostPacks;
}

std::string Clock(uint64_t ms) {
  const uint64_t s = ms / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(s / 3600),
                static_cast<unsigned long long>(s / 60 % 60),
                static_cast<unsigned long long>(s % 60));
  return text;
}

// The longest duration the least rate still fits.
uint64_t LongestMs() { return (kMostPacks - kTailPacks) * kPackBitMs / kLeastMuxRate - SpanMs(0); }

}  // namespace

std::string PlanMpeg(uint64_t durationMs, VideoStandard standard, MpegPlan* plan) {
  if (durationMs == 0) return "it has no duration";
  uint32_t rate = kTopMuxRate;
  if (durationMs > kMostDurationMs) {
    rate = 0;
  } else if (!Fits(durationMs, rate)) {
    // The highest step that fits: from the bound the length allows, down past ceil's rounding.
    rate = static_cast<uint32_t>((kMostPacks - kTailPacks) * kPackBitMs / SpanMs(durationMs));
    rate -= rate % kMuxRateStep;
    while (rate >= kLeastMuxRate && !Fits(durationMs, rate)) rate -= kMuxRateStep;
  }
  if (rate < kLeastMuxRate) {
    return "it is too long to convert: " + Clock(durationMs) +
           " does not fit the adapter's 2 GiB at a watchable rate (at most " + Clock(LongestMs()) +
           ")";
  }
  *plan = MpegPlan{};
  plan->standard = standard;
  plan->durationMs = durationMs;
  const bool pal = standard == VideoStandard::kPal;
  plan->frameRateNum = pal ? 25 : 30000;
  plan->frameRateDen = pal ? 1 : 1001;
  plan->ticksPerFrame = pal ? 3600 : 3003;
  plan->muxRate = rate;
  plan->audioBitRate = rate >= 1200000 ? 192000 : rate >= 800000 ? 128000 : 96000;
  // Packs carry 1.5% of headers; the rest of the margin lets the mux catch up after a burst.
  plan->videoBitRate = (rate / 100 * 96 - plan->audioBitRate) / 1000 * 1000;
  plan->width = plan->videoBitRate >= kFullWidthVideoRate ? 720 : 352;
  plan->height = pal ? 576 : 480;
  if (plan->videoBitRate < kHalfHeightVideoRate) plan->height /= 2;
  const uint64_t frameUnits = uint64_t{plan->frameRateDen} * 1000;
  plan->videoFrames = (durationMs * plan->frameRateNum + frameUnits / 2) / frameUnits;
  if (plan->videoFrames == 0) plan->videoFrames = 1;
  const uint64_t samples = durationMs * (kMpegAudioRate / 1000);
  plan->audioFrames = (samples + kMpegAudioFrameSamples - 1) / kMpegAudioFrameSamples;
  plan->contentPacks = ContentPacks(durationMs, rate);
  plan->length = static_cast<int64_t>((plan->contentPacks + kTailPacks) * kPackSize);
  return {};
}

uint64_t PackClock(const MpegPlan& plan, uint64_t index) {
  return index * kPackClockPerStep / (plan.muxRate / kMuxRateStep);
}

std::string PackHeader(const MpegPlan& plan, uint64_t scr27) {
  const uint64_t base = scr27 / 300;  // 33 bits of 90 kHz
  const uint64_t ext = scr27 % 300;
  const uint32_t mux = plan.muxRate / 400;  // in units of 50 bytes/s
  std::string header = {'\0', '\0', '\1', '\xba'};
  const uint8_t bytes[10] = {
      static_cast<uint8_t>(0x44 | (base >> 27 & 0x38) | (base >> 28 & 0x03)),
      static_cast<uint8_t>(base >> 20),
      static_cast<uint8_t>((base >> 12 & 0xf8) | 0x04 | (base >> 13 & 0x03)),
      static_cast<uint8_t>(base >> 5),
      static_cast<uint8_t>((base << 3 & 0xf8) | 0x04 | (ext >> 7 & 0x03)),
      static_cast<uint8_t>((ext << 1 & 0xfe) | 0x01),
      static_cast<uint8_t>(mux >> 14),
      static_cast<uint8_t>(mux >> 6),
      static_cast<uint8_t>((mux << 2 & 0xfc) | 0x03),
      0xf8,  // no stuffing
  };
  header.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
  return header;
}

std::string PaddingPack(const MpegPlan& plan, uint64_t index) {
  std::string pack = PackHeader(plan, PackClock(plan, index));
  const bool last = (index + 1) * kPackSize == static_cast<uint64_t>(plan.length);
  const size_t padding = kPackSize - pack.size() - 6 - (last ? 4 : 0);
  pack += {
      '\0', '\0', '\1', '\xbe', static_cast<char>(padding >> 8), static_cast<char>(padding & 0xff)};
  pack.append(padding, '\xff');
  if (last) pack += {'\0', '\0', '\1', '\xb9'};
  return pack;
}

std::string MpegTail(const MpegPlan& plan) {
  std::string tail;
  tail.reserve(kMpegTailBytes);
  for (uint64_t i = plan.contentPacks; i < plan.contentPacks + kTailPacks; ++i) {
    tail += PaddingPack(plan, i);
  }
  return tail;
}

}  // namespace rureza
