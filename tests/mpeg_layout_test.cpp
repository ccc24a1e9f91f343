// The converted video's plan: its rate, picture and exact length from the duration alone, and
// the padding packs that end it, which the server sends before the converter has reached them.
#include "conversion/mpeg_layout.h"

#include <gtest/gtest.h>

#include <string>

namespace rureza::test {
namespace {

MpegPlan Plan(uint64_t ms, VideoStandard standard = VideoStandard::kPal) {
  MpegPlan plan;
  EXPECT_EQ(PlanMpeg(ms, standard, &plan), "") << ms;
  return plan;
}

// The 27 MHz clock a pack header at offset carries.
uint64_t ClockAt(const std::string& bytes, size_t offset) {
  auto b = [&](size_t i) { return uint64_t{static_cast<unsigned char>(bytes[offset + i])}; };
  const uint64_t base = (b(4) & 0x38) << 27 | (b(4) & 0x03) << 28 | b(5) << 20 |
                        (b(6) & 0xf8) << 12 | (b(6) & 0x03) << 13 | b(7) << 5 | b(8) >> 3;
  return base * 300 + ((b(8) & 0x03) << 7 | b(9) >> 1);
}

TEST(MpegLayoutTest, TheRateStepsDownWhereTheTopRateNoLongerFitsTwoGibibytes) {
  // 47:42.465 is the longest at 6 Mbit/s: its stream is the longest the adapter can address.
  MpegPlan last = Plan(2862465);
  EXPECT_EQ(last.muxRate, 6000000u);
  EXPECT_EQ(last.length, 2147481600);
  EXPECT_EQ(last.width, 720u);
  MpegPlan next = Plan(2862466);
  EXPECT_EQ(next.muxRate, 5992000u);
  EXPECT_EQ(next.length, 2144620544);
  // A two-hour film: the highest step that fits.
  MpegPlan film = Plan(7200000);
  EXPECT_EQ(film.muxRate, 2384000u);
  EXPECT_EQ(film.length, 2145871872);
  EXPECT_EQ(film.videoBitRate, 2096000u);
  EXPECT_EQ(film.audioBitRate, 192000u);
}

TEST(MpegLayoutTest, ThePictureHalvesWhereItsRateIsTooLowForItsSize) {
  EXPECT_EQ(Plan(6117287).width, 720u);  // 2.503 Mbit/s of picture
  EXPECT_EQ(Plan(6117288).width, 352u);  // 2.496
  EXPECT_EQ(Plan(6117288).height, 576u);
  EXPECT_EQ(Plan(13764897).height, 576u);  // 1.006
  EXPECT_EQ(Plan(13764898).height, 288u);  // 0.998
  EXPECT_EQ(Plan(13764898, VideoStandard::kNtsc).height, 240u);
  EXPECT_EQ(Plan(600000, VideoStandard::kNtsc).height, 480u);
}

TEST(MpegLayoutTest, AVideoTooLongForAWatchableRateIsRefused) {
  MpegPlan longest = Plan(42948176);
  EXPECT_EQ(longest.muxRate, 400000u);
  EXPECT_EQ(longest.audioBitRate, 96000u);
  EXPECT_EQ(longest.length, 2147481600);
  MpegPlan plan;
  EXPECT_NE(PlanMpeg(42948177, VideoStandard::kPal, &plan), "");
  EXPECT_EQ(PlanMpeg(72000000, VideoStandard::kPal, &plan),
            "it is too long to convert: 20:00:00 does not fit the adapter's 2 GiB at a watchable "
            "rate (at most 11:55:48)");
  EXPECT_NE(PlanMpeg(uint64_t{1} << 62, VideoStandard::kPal, &plan), "");
  EXPECT_EQ(PlanMpeg(0, VideoStandard::kPal, &plan), "it has no duration");
}

TEST(MpegLayoutTest, FramesCoverTheDuration) {
  MpegPlan clip = Plan(80);  // two frames
  EXPECT_EQ(clip.videoFrames, 2u);
  EXPECT_EQ(clip.audioFrames, 4u);  // 3,840 samples in frames of 1,152
  EXPECT_EQ(clip.contentPacks, 323u);
  EXPECT_EQ(clip.length, 339 * 2048);
  EXPECT_EQ(Plan(1).videoFrames, 1u);
  MpegPlan ntsc = Plan(7200000, VideoStandard::kNtsc);
  EXPECT_EQ(ntsc.videoFrames, 215784u);
  EXPECT_EQ(VideoFramePts(ntsc, 215784) - VideoFramePts(ntsc, 0), 215784u * 3003);
  EXPECT_EQ(AudioFramePts(375) - AudioFramePts(0), 375u * 2160);  // 9 s
}

TEST(MpegLayoutTest, TheTailIsPaddingPacksClockedByTheirPosition) {
  const MpegPlan plan = Plan(80);
  const std::string tail = MpegTail(plan);
  ASSERT_EQ(tail.size(), 32768u);
  // Pack 323 at 6 Mbit/s: 323 x 2048 x 8 bits = 0.882005 s = 23,814,144 ticks of 27 MHz.
  EXPECT_EQ(tail.substr(0, 20), std::string("\0\0\1\xba\x44\x00\x15\xb0\xa5\x21\x00\xea\x63\xf8"
                                            "\0\0\1\xbe\x07\xec",
                                            20));
  for (size_t pack = 0; pack < 16; ++pack) {
    const size_t at = pack * 2048;
    ASSERT_EQ(tail.substr(at, 4), std::string("\0\0\1\xba", 4)) << pack;
    EXPECT_EQ(ClockAt(tail, at), (323 + pack) * 2048 * 8 * 27000000 / 6000000) << pack;
  }
  EXPECT_EQ(tail.substr(32768 - 4), std::string("\0\0\1\xb9", 4));
  EXPECT_EQ(tail.substr(15 * 2048 + 14, 6), std::string("\0\0\1\xbe\x07\xe8", 6));
  EXPECT_EQ(PaddingPack(plan, 5), PaddingPack(plan, 5));
  EXPECT_EQ(ClockAt(PaddingPack(plan, 5), 0), 5u * 73728);
}

TEST(MpegLayoutTest, TheTailsClockIsTheDurationWithinASecond) {
  for (uint64_t ms : {uint64_t{80}, uint64_t{3600000}, uint64_t{7200000}, uint64_t{42948176}}) {
    const MpegPlan plan = Plan(ms);
    const double tailSeconds = ClockAt(MpegTail(plan), 0) / 27e6;
    EXPECT_GE(tailSeconds, ms / 1000.0) << ms;
    EXPECT_LT(tailSeconds, ms / 1000.0 + 1) << ms;
  }
}

}  // namespace
}  // namespace rureza::test
