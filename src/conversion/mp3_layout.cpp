#include "conversion/mp3_layout.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace rureza {
namespace {

// Far beyond any song (about 250 years at 48 kHz), far below where the products overflow.
constexpr uint64_t kMostSourceSamples = uint64_t{1} << 40;

struct TypicalRate {
  std::string_view ending;
  int64_t bytesPerSecond;
};

// What a minute of each format usually takes: lossless around 880 kbit/s (CD audio is 1411),
// lossy formats at their common rates.
constexpr TypicalRate kTypicalRates[] = {
    {"flac", 110000}, {"wav", 176400}, {"aif", 176400}, {"aiff", 176400}, {"ape", 90000},
    {"wv", 90000},    {"m4a", 24000},  {"aac", 24000},  {"ogg", 24000},   {"oga", 24000},
    {"mka", 24000},   {"wma", 24000},  {"opus", 16000},
};

}  // namespace

uint64_t Mp3FramesFor(uint64_t sourceSamples, uint32_t sourceRate) {
  if (sourceSamples == 0 || sourceRate == 0 || sourceSamples > kMostSourceSamples) return 0;
  const uint64_t samples = (sourceSamples * kMp3SampleRate + sourceRate - 1) / sourceRate;
  const uint64_t frames = (samples + kMp3PrimingSamples + kMp3FrameSamples - 1) / kMp3FrameSamples;
  return frames <= kMostMp3Frames ? frames : 0;
}

int64_t EstimatedMp3Length(std::string_view ending, int64_t fileSize) {
  std::string lower(ending);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  int64_t bytesPerSecond = 24000;
  for (const TypicalRate& rate : kTypicalRates) {
    if (rate.ending == lower) bytesPerSecond = rate.bytesPerSecond;
  }
  const int64_t seconds = std::max<int64_t>(fileSize, 0) / bytesPerSecond;
  const uint64_t frames = std::clamp<uint64_t>(
      static_cast<uint64_t>(seconds) * kMp3SampleRate / kMp3FrameSamples + 1, 1, kMostMp3Frames);
  return Mp3Length(frames);
}

}  // namespace rureza
