// The video stream's multiplexer on its own: whole packs on the plan's clock, the exact length,
// the same bytes however the units arrive, and content cut rather than the tail moved.
#include "convert/mpeg_mux.h"

#include <gtest/gtest.h>

#include <string>

#include "conversion/mpeg_layout.h"

namespace rureza::test {
namespace {

MpegPlan Plan(uint64_t ms) {
  MpegPlan plan;
  EXPECT_EQ(PlanMpeg(ms, VideoStandard::kPal, &plan), "");
  return plan;
}

// Pictures of size bytes at 25 frames/s (each decoded a frame before it is shown, as with
// B-frames) and layer II frames of 576 bytes, for seconds, fed in steps of batch units.
std::string Mux(const MpegPlan& plan, int seconds, size_t size, int batch, uint64_t* cut) {
  MpegMux mux(plan);
  std::string out;
  const int pictures = seconds * 25, sounds = seconds * 1000 / 24;
  for (int p = 0, s = 0; p < pictures || s < sounds;) {
    for (int i = 0; i < batch && p < pictures; ++i, ++p) {
      mux.AddVideo(std::string(size, static_cast<char>(p)), VideoFramePts(plan, p + 1),
                   VideoFramePts(plan, p));
    }
    for (int i = 0; i < batch * 2 && s < sounds; ++i, ++s) {
      mux.AddAudio(std::string(576, static_cast<char>(s)), AudioFramePts(s));
    }
    mux.Pump();
    out += mux.output();
    mux.output().clear();
  }
  mux.EndVideo();
  mux.EndAudio();
  mux.Finish();
  out += mux.output();
  *cut = mux.cutBytes();
  return out;
}

TEST(MpegMuxTest, PacksAreWholeOnTheClockAndTheStreamIsExactlyItsLength) {
  const MpegPlan plan = Plan(4000);
  uint64_t cut = 0;
  const std::string stream = Mux(plan, 4, 20000, 1, &cut);
  EXPECT_EQ(cut, 0u);
  ASSERT_EQ(stream.size(), static_cast<size_t>(plan.length));
  EXPECT_EQ(stream.substr(stream.size() - kMpegTailBytes), MpegTail(plan));
  size_t video = 0, audio = 0;
  for (size_t at = 0; at < stream.size(); at += kPackSize) {
    ASSERT_EQ(stream.substr(at, 14), PackHeader(plan, PackClock(plan, at / kPackSize))) << at;
    const size_t pes = at + 14 + (at == 0 ? 18 : 0);
    video += stream[pes + 3] == '\xe0';
    audio += stream[pes + 3] == '\xc0';
  }
  // 100 pictures of 20,000 bytes in packs of 2,024 (2,014 where a picture starts, its times in
  // the header), 166 sound frames of 576 in packs of 2,019.
  EXPECT_EQ(video, 989u);
  EXPECT_EQ(audio, 48u);
}

TEST(MpegMuxTest, TheBytesDependOnTheUnitsNotOnWhenTheyCame) {
  const MpegPlan plan = Plan(3000);
  uint64_t cut = 0;
  const std::string one = Mux(plan, 3, 15000, 1, &cut);
  EXPECT_EQ(Mux(plan, 3, 15000, 7, &cut), one);
  EXPECT_EQ(Mux(plan, 3, 15000, 1000, &cut), one);
}

TEST(MpegMuxTest, ContentBeyondTheRateIsCutAndTheTailStays) {
  // Pictures twice the rate's size: what does not fit before the tail goes.
  const MpegPlan plan = Plan(2000);
  uint64_t cut = 0;
  const std::string stream = Mux(plan, 2, plan.muxRate / 8 / 25 * 2, 3, &cut);
  EXPECT_GT(cut, 0u);
  ASSERT_EQ(stream.size(), static_cast<size_t>(plan.length));
  EXPECT_EQ(stream.substr(stream.size() - kMpegTailBytes), MpegTail(plan));
}

}  // namespace
}  // namespace rureza::test
