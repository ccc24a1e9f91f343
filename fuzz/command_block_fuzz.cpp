// The three command-block variants: the input, cut into 256-byte blocks (the last one filled
// with zero bytes), is applied block by block to an audio, an MPEG and an AVI playback state,
// each checked after every block against a small model of what the adapter's command means.
#include <cctype>
#include <cstring>
#include <string_view>

#include "delivery/playback_control.h"
#include "fuzz_check.h"

namespace {

using rureza::AviCommand;
using rureza::CommandBlock;

// The signed reading, the simple way: white space, a sign, then digits, each worth its power
// of ten, summed from the last digit backwards modulo 2^32.
int32_t SignedAt(const CommandBlock& block, size_t offset) {
  size_t i = offset;
  while (i < sizeof block && std::isspace(static_cast<unsigned char>(block[i]))) ++i;
  bool negative = i < sizeof block && block[i] == '-';
  if (i < sizeof block && (block[i] == '-' || block[i] == '+')) ++i;
  size_t end = i;
  while (end < sizeof block && block[end] >= '0' && block[end] <= '9') ++end;
  uint32_t value = 0, power = 1;
  for (size_t k = end; k > i; --k) {
    value += static_cast<uint32_t>(block[k - 1] - '0') * power;
    power *= 10u;
  }
  return static_cast<int32_t>(negative ? 0u - value : value);
}

bool KnownLine(const char* line) {
  if (!line) return true;
  for (std::string_view known :
       {"Fastforward....", "Backforward....", "Play....", "Unknow command..."}) {
    if (known == line) return true;
  }
  return false;
}

void CheckAudio(const CommandBlock& block, rureza::AudioPlaybackState& state) {
  const int32_t target = state.seekTarget.load(), request = state.seekRequest.load();
  const int32_t stop = state.stopRequested.load(), latch = state.playLatch.load();
  rureza::CommandEffect effect = rureza::ApplyAudioCommand(block, state);
  FUZZ_CHECK(KnownLine(effect.line));
  int32_t wantTarget = target, wantRequest = request, wantStop = stop, wantLatch = latch;
  const char* wantLine = nullptr;
  if (block[0] == '<') {
    if (block[1] == '3') wantLatch = 1;
    if (block[1] == '4') wantStop = 1;
    if (block[1] == '5') wantRequest = 3;
    if (block[1] == '8' || block[1] == '9') {
      wantTarget = SignedAt(block, 3);
      wantRequest = block[1] == '8' ? 1 : 2;
      wantLine = block[1] == '8' ? "Fastforward...." : "Backforward....";
    }
  }
  FUZZ_CHECK(state.seekTarget.load() == wantTarget);
  FUZZ_CHECK(state.seekRequest.load() == wantRequest);
  FUZZ_CHECK(state.stopRequested.load() == wantStop);
  FUZZ_CHECK(state.playLatch.load() == wantLatch);
  FUZZ_CHECK(wantLine ? effect.line && std::string_view(effect.line) == wantLine : !effect.line);
  FUZZ_CHECK(effect.pauseMs == 0 || effect.pauseMs == 5);
}

void CheckMpeg(const CommandBlock& block, rureza::MpegPlaybackState& state) {
  const int32_t mode = state.mode.load(), stop = state.stopRequested.load();
  rureza::CommandEffect effect = rureza::ApplyMpegCommand(block, state);
  FUZZ_CHECK(KnownLine(effect.line));
  FUZZ_CHECK(state.mode.load() == 0 || state.mode.load() == 1);
  int32_t wantMode = mode, wantStop = stop;
  if (block[0] == '<') {
    if (block[1] == '3') wantMode = 0;
    if (block[1] == '4') wantStop = 1;
    if (block[1] == '5' && block[2] == '9') wantMode = 1;
    if (block[1] == '5' && block[2] == '8') wantMode = 0;
    if (block[1] != '3' && block[1] != '4' && block[1] != '5') {
      FUZZ_CHECK(effect.line && std::string_view(effect.line) == "Unknow command...");
    }
  } else {
    FUZZ_CHECK(!effect.line && effect.pauseMs == 0);
  }
  FUZZ_CHECK(state.mode.load() == wantMode);
  FUZZ_CHECK(state.stopRequested.load() == wantStop);
  FUZZ_CHECK(effect.pauseMs == 0 || effect.pauseMs == 5 || effect.pauseMs == 20);
}

void CheckAvi(const CommandBlock& block, rureza::AviPlaybackState& state) {
  // The command byte: what it is, and the mode and stop flag it leaves (-1: unchanged).
  struct Meaning {
    char byte;
    AviCommand::Kind kind;
    int mode, stop;
  };
  static constexpr Meaning kMeanings[] = {
      {'\0', AviCommand::Kind::kNone, -1, -1},   {'3', AviCommand::Kind::kPlay, -1, -1},
      {'4', AviCommand::Kind::kStop, 0, 1},      {'8', AviCommand::Kind::kFastForward, 1, -1},
      {'9', AviCommand::Kind::kBackward, 2, -1}, {'@', AviCommand::Kind::kNextIndex, -1, -1},
      {'A', AviCommand::Kind::kAbort, -1, 1}};
  Meaning want{block[1], AviCommand::Kind::kKeyframe, -1, -1};  // any other byte
  for (const Meaning& m : kMeanings) {
    if (m.byte == block[1]) want = m;
  }
  const int32_t mode = state.mode.load(), stop = state.stopRequested.load();
  AviCommand command = rureza::ApplyAviCommand(block, state);
  FUZZ_CHECK(command.kind == want.kind);
  FUZZ_CHECK(state.mode.load() == (want.mode < 0 ? mode : want.mode));
  FUZZ_CHECK(state.stopRequested.load() == (want.stop < 0 ? stop : want.stop));
  if (want.kind == AviCommand::Kind::kKeyframe) {
    FUZZ_CHECK(command.keyframe == SignedAt(block, 3));
    FUZZ_CHECK(command.keyframeSize == SignedAt(block, 236));
    uint32_t offset = rureza::KeyframeOffset(command.keyframe, state.movieStart);
    FUZZ_CHECK(offset == static_cast<uint32_t>(command.keyframe) + state.movieStart + 4u);
  }
  // Nothing the adapter sends moves what the stream was given.
  FUZZ_CHECK(state.movieStart == 2048 && state.movieEnd == 4096000 && state.fileLength == 5000000);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto run = std::make_shared<rureza::ServerRun>(rureza::ServerSettings{});
  static const rureza::Socket none;
  rureza::AudioPlaybackState audio(run->NewControlWait(none));
  rureza::MpegPlaybackState mpeg(run->NewControlWait(none));
  rureza::AviPlaybackState avi(run->NewControlWait(none), rureza::MediaPath{"movie.avi", true},
                               5000000, 2048, 4096000);
  for (size_t at = 0; at < size; at += sizeof(CommandBlock)) {
    CommandBlock block = {};
    std::memcpy(block, data + at, std::min(size - at, sizeof block));
    CheckAudio(block, audio);
    CheckMpeg(block, mpeg);
    CheckAvi(block, avi);
  }
  return 0;
}
