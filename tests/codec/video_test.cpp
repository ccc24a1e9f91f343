// Videos of every kind a household keeps, and files that lie about themselves, converted by the
// converter's codec functions: each converts to exactly its planned length with the planned
// tail and a program stream ffprobe reads as the adapter needs it, or fails with a reason.
// Fixtures are made at run time with the ffmpeg command line: small and short.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "conversion/converter_protocol.h"
#include "conversion/mpeg_layout.h"
#include "convert/video_convert.h"
#include "support/fixture.h"
#include "support/process.h"

namespace rureza::test {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// An open file, closed at the end.
class Fd {
 public:
  explicit Fd(const fs::path& path, int flags = O_RDONLY, mode_t mode = 0644)
      : fd_(::open(path.c_str(), flags | O_CLOEXEC, mode)) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

class VideoTest : public ::testing::Test {
 protected:
  // The decoders' complaints about the bad files are expected here.
  static void SetUpTestSuite() { av_log_set_level(AV_LOG_QUIET); }

  // Runs ffmpeg (quietly) with args in the test's folder; false when it fails.
  void Ffmpeg(std::vector<std::string> args) {
    args.insert(args.begin(), {"-nostdin", "-v", "error", "-y"});
    ChildProcess tool("/usr/bin/ffmpeg", args, dir_.path());
    ASSERT_EQ(tool.Wait(120000), 0) << args.back() << ": " << tool.Output("err");
  }
  // A clip of seconds from lavfi sources: a test picture (size) and a tone, then args.
  fs::path Clip(const std::string& name, double seconds, const std::vector<std::string>& args,
                const std::string& size = "160x90", bool sound = true) {
    std::vector<std::string> all = {
        "-f", "lavfi", "-i",
        "testsrc2=size=" + size + ":rate=30:duration=" + std::to_string(seconds)};
    if (sound) {
      all.insert(all.end(),
                 {"-f", "lavfi", "-i",
                  "sine=frequency=440:sample_rate=44100:duration=" + std::to_string(seconds)});
    }
    all.insert(all.end(), args.begin(), args.end());
    all.push_back((dir_.path() / name).string());
    Ffmpeg(all);
    return dir_.path() / name;
  }

  VideoFacts Probe(const fs::path& path, std::string* error = nullptr) {
    Fd fd(path);
    VideoFacts facts;
    std::string reason = ProbeVideo(fd.get(), path.filename().string(), &facts);
    if (error != nullptr) {
      *error = reason;
    } else {
      EXPECT_EQ(reason, "") << path;
    }
    return facts;
  }

  // Converts path to dir/out.mpg; the error, or "" with the bytes in *stream.
  std::string Convert(const fs::path& path, const VideoRequest& request, std::string* stream,
                      const fs::path& subtitles = {}) {
    Fd in(path);
    std::optional<Fd> sub;
    if (!subtitles.empty()) sub.emplace(subtitles);
    const fs::path outPath = dir_.path() / "out.mpg";
    std::string error;
    uint64_t reported = 0;
    {
      Fd out(outPath, O_WRONLY | O_CREAT | O_TRUNC);
      error = ConvertVideo(request, in.get(), sub ? sub->get() : -1, out.get(),
                           [&](uint64_t bytes) { reported = bytes; });
    }
    *stream = Slurp(outPath);
    if (error.empty()) {
      EXPECT_EQ(reported, stream->size());
    }
    return error;
  }

  // ffprobe's key=value lines of the stream's streams.
  std::map<std::string, std::string> StreamFacts(const std::string& select) {
    ChildProcess probe("/usr/bin/ffprobe",
                       {"-v", "error", "-select_streams", select, "-show_entries",
                        "stream=codec_name,width,height,r_frame_rate,display_aspect_ratio,"
                        "sample_rate,channels",
                        "-of", "default=noprint_wrappers=1", (dir_.path() / "out.mpg").string()},
                       dir_.path());
    EXPECT_EQ(probe.Wait(60000), 0);
    std::map<std::string, std::string> facts;
    std::istringstream lines(probe.Output());
    for (std::string line; std::getline(lines, line);) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) facts[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return facts;
  }

  // Converts path and checks what the adapter relies on: the planned length and tail, a PAL
  // MPEG-2 picture with the aspect flag, stereo MP2 at 48 kHz.
  void ExpectStream(const fs::path& path, uint64_t durationMs, const std::string& aspect) {
    VideoRequest request;
    request.durationMs = durationMs;
    std::string stream;
    ASSERT_EQ(Convert(path, request, &stream), "") << path;
    MpegPlan plan;
    ASSERT_EQ(PlanMpeg(durationMs, VideoStandard::kPal, &plan), "");
    ASSERT_EQ(stream.size(), static_cast<size_t>(plan.length)) << path;
    EXPECT_TRUE(stream.substr(stream.size() - kMpegTailBytes) == MpegTail(plan)) << path;
    auto video = StreamFacts("v");
    EXPECT_EQ(video["codec_name"], "mpeg2video") << path;
    EXPECT_EQ(video["width"], "720");
    EXPECT_EQ(video["height"], "576");
    EXPECT_EQ(video["r_frame_rate"], "25/1");
    EXPECT_EQ(video["display_aspect_ratio"], aspect) << path;
    auto audio = StreamFacts("a");
    EXPECT_EQ(audio["codec_name"], "mp2") << path;
    EXPECT_EQ(audio["sample_rate"], "48000");
    EXPECT_EQ(audio["channels"], "2");
  }

  TempDir dir_;
};

const std::vector<std::string> kH264 = {"-c:v", "libx264", "-preset", "ultrafast"};

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(VideoTest, ClipsOfEveryContainerConvertToTheirPlannedStream) {
  struct {
    std::string name;
    std::vector<std::string> args;
    std::string size;
    std::string aspect;
  } const clips[] = {
      {"a.mp4", With(kH264, {"-c:a", "aac"}), "160x90", "16:9"},
      {"a.mov", {"-c:v", "mpeg4", "-c:a", "aac"}, "160x120", "4:3"},
      {"a.webm",
       {"-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-c:a", "libopus"},
       "160x90",
       "16:9"},
      {"a.ts", With(kH264, {"-c:a", "mp2"}), "144x96", "4:3"},              // 3:2: nearer 4:3
      {"h264.avi", With(kH264, {"-c:a", "libmp3lame"}), "160x96", "16:9"},  // 5:3
  };
  for (const auto& clip : clips) {
    const fs::path path = Clip(clip.name, 1, clip.args, clip.size);
    const VideoFacts facts = Probe(path);
    EXPECT_TRUE(facts.hasVideo && facts.hasAudio) << clip.name;
    EXPECT_FALSE(facts.playable) << clip.name;
    EXPECT_NEAR(static_cast<double>(facts.durationMs), 1000, 60) << clip.name;
    ExpectStream(path, facts.durationMs, clip.aspect);
  }
}

TEST_F(VideoTest, WhatTheAdapterPlaysAsItIsIsSaidSo) {
  EXPECT_TRUE(Probe(Clip("x.avi", 1, {"-c:v", "mpeg4", "-c:a", "libmp3lame"})).playable);
  EXPECT_TRUE(Probe(Clip("x.mpg", 1, {"-c:v", "mpeg2video", "-c:a", "mp2", "-f", "vob"})).playable);
  EXPECT_TRUE(Probe(Clip("x.vob", 1, {"-c:v", "mpeg2video", "-c:a", "ac3", "-f", "vob"})).playable);
  // The same program stream with sound the adapter cannot decode; an AVI of H.264.
  EXPECT_FALSE(
      Probe(Clip("y.mpg", 1, {"-c:v", "mpeg2video", "-c:a", "libmp3lame", "-f", "vob"})).playable);
  EXPECT_FALSE(Probe(Clip("y.avi", 1, With(kH264, {"-c:a", "libmp3lame"}))).playable);
  // A transport stream named .mpg is no program stream.
  EXPECT_FALSE(
      Probe(Clip("z.mpg", 1, {"-c:v", "mpeg2video", "-c:a", "mp2", "-f", "mpegts"})).playable);
}

TEST_F(VideoTest, TheSameRequestGivesTheSameBytesAndItsStandardsShape) {
  const fs::path path = Clip("a.mkv", 2, With(kH264, {"-c:a", "aac"}), "160x120");
  VideoRequest request;
  request.durationMs = 2000;
  std::string first, second;
  ASSERT_EQ(Convert(path, request, &first), "");
  ASSERT_EQ(Convert(path, request, &second), "");
  EXPECT_TRUE(first == second);
  request.standard = VideoStandard::kNtsc;
  ASSERT_EQ(Convert(path, request, &first), "");
  MpegPlan plan;
  ASSERT_EQ(PlanMpeg(2000, VideoStandard::kNtsc, &plan), "");
  EXPECT_EQ(first.size(), static_cast<size_t>(plan.length));
  auto video = StreamFacts("v");
  EXPECT_EQ(video["height"], "480");
  EXPECT_EQ(video["r_frame_rate"], "30000/1001");
  EXPECT_EQ(video["display_aspect_ratio"], "4:3");
}

TEST_F(VideoTest, ASourceShorterOrLongerThanItsDurationIsPaddedOrCut) {
  const fs::path path = Clip("a.mp4", 1, With(kH264, {"-c:a", "aac"}));
  ExpectStream(path, 3000, "16:9");  // two seconds held and silent
  ExpectStream(path, 480, "16:9");   // cut after 12 frames
  // Two frames: less content than one data block.
  const fs::path two = Clip("two.mp4", 0.066, With(kH264, {"-c:a", "aac"}));
  ExpectStream(two, Probe(two).durationMs, "16:9");
}

TEST_F(VideoTest, AMissingTrackIsBlackOrSilent) {
  const fs::path mute = Clip("mute.mp4", 1, kH264, "160x90", false);
  VideoFacts facts = Probe(mute);
  EXPECT_TRUE(facts.hasVideo);
  EXPECT_FALSE(facts.hasAudio);
  ExpectStream(mute, facts.durationMs, "16:9");
  Ffmpeg({"-f", "lavfi", "-i", "sine=duration=1", "-c:a", "aac",
          (dir_.path() / "sound.mp4").string()});
  facts = Probe(dir_.path() / "sound.mp4");
  EXPECT_FALSE(facts.hasVideo);
  EXPECT_TRUE(facts.hasAudio);
  ExpectStream(dir_.path() / "sound.mp4", facts.durationMs, "16:9");
}

TEST_F(VideoTest, FilesThatAreNoVideoFailWithAReason) {
  std::string error;
  std::ofstream(dir_.path() / "empty.mkv");
  Probe(dir_.path() / "empty.mkv", &error);
  EXPECT_EQ(error, "the file is empty");
  std::string noise;
  for (int i = 0; i < 100000; ++i) noise += static_cast<char>((i * 7919 + i / 13) * 31);
  std::ofstream(dir_.path() / "noise.mp4", std::ios::binary) << noise;
  Probe(dir_.path() / "noise.mp4", &error);
  EXPECT_NE(error.find("not a video"), std::string::npos) << error;
  // An MP4 whose index was to come at its end, cut short before it.
  const std::string whole = Slurp(Clip("b.mp4", 2, With(kH264, {"-c:a", "aac"})));
  std::ofstream(dir_.path() / "cut.mp4", std::ios::binary) << whole.substr(0, whole.size() / 2);
  Probe(dir_.path() / "cut.mp4", &error);
  EXPECT_EQ(error, "it is an MP4 without its index (moov): cut short while it was written?");
  VideoRequest request;
  request.durationMs = 1000;
  std::string stream;
  EXPECT_NE(Convert(dir_.path() / "noise.mp4", request, &stream), "");
  EXPECT_EQ(stream, "");
  // Too long for the adapter: refused before anything is read.
  request.durationMs = 72000000;
  EXPECT_NE(Convert(dir_.path() / "b.mp4", request, &stream).find("too long"), std::string::npos);
}

TEST_F(VideoTest, ADurationIsWhatTheFileHoldsNotWhatItsHeaderClaims) {
  for (const char* name : {"c.mkv", "c.ts", "c.mp4"}) {
    std::vector<std::string> args = With(kH264, {"-c:a", "aac"});
    if (std::string(name) == "c.mp4") args.insert(args.end(), {"-movflags", "+faststart"});
    const std::string whole = Slurp(Clip(name, 4, args));
    const fs::path cut = dir_.path() / (std::string("cut-") + name);
    std::ofstream(cut, std::ios::binary) << whole.substr(0, whole.size() / 2);
    const uint64_t ms = Probe(cut).durationMs;
    EXPECT_GT(ms, 500u) << name;
    EXPECT_LT(ms, 3000u) << name;
  }
}

// The source's default text track, a subtitle file beside it in a legacy code page, and one that
// is no text: burnt in where there are subtitles, so the pictures differ from those without.
TEST_F(VideoTest, SubtitlesAreBurntInFromTheFileOrTheTrack) {
  const fs::path plain = Clip("plain.mp4", 1, With(kH264, {"-an"}), "160x90", false);
  std::ofstream(dir_.path() / "a.srt") << "1\n00:00:00,000 --> 00:00:01,000\nHello there\n";
  Ffmpeg({"-i", plain.string(), "-i", (dir_.path() / "a.srt").string(), "-c", "copy", "-c:s", "srt",
          "-disposition:s:0", "default", (dir_.path() / "subs.mkv").string()});
  EXPECT_TRUE(Probe(dir_.path() / "subs.mkv").hasSubtitles);
  VideoRequest request;
  request.durationMs = 1000;
  request.codePage = "CP1252";
  std::string bare, track, off, legacy, binary;
  ASSERT_EQ(Convert(plain, request, &bare), "");
  ASSERT_EQ(Convert(dir_.path() / "subs.mkv", request, &track), "");
  EXPECT_NE(bare, track);
  request.subtitles = false;
  ASSERT_EQ(Convert(dir_.path() / "subs.mkv", request, &off), "");
  EXPECT_EQ(bare, off);
  request.subtitles = true;
  std::ofstream(dir_.path() / "legacy.srt", std::ios::binary)
      << "1\r\n00:00:00,000 --> 00:00:01,000\r\nMot\xf6rhead \xe9t\xe9\r\n";
  ASSERT_EQ(Convert(plain, request, &legacy, dir_.path() / "legacy.srt"), "");
  EXPECT_NE(bare, legacy);
  std::string noise(4096, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * 37 + 11);
  std::ofstream(dir_.path() / "noise.srt", std::ios::binary) << noise;
  ASSERT_EQ(Convert(plain, request, &binary, dir_.path() / "noise.srt"), "");
  EXPECT_EQ(bare, binary);
}

// A flash and a beep every two seconds, at 30 frames/s and 44.1 kHz: in the stream each beep
// must start with its flash. Every output frame's and sound frame's time is its index times a
// constant, and each is filled from the source by the source's own timestamps, so no error can
// add up along the film; the bound here (a quarter of a millisecond of drift over 56 s) scales
// to 32 ms over two hours even if it did.
TEST_F(VideoTest, PictureAndSoundStayTogetherFromStartToEnd) {
  Ffmpeg({"-f", "lavfi", "-i",
          "color=c=black:s=64x36:r=30:d=60,drawbox=c=white:t=fill:enable='lt(mod(t,2),0.03)'", "-f",
          "lavfi", "-i", "aevalsrc='if(lt(mod(t,2),0.05),0.5*sin(2*PI*1000*t),0)':s=44100:d=60",
          "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac",
          (dir_.path() / "sync.mp4").string()});
  VideoRequest request;
  request.durationMs = 60000;
  std::string stream;
  ASSERT_EQ(Convert(dir_.path() / "sync.mp4", request, &stream), "");
  Ffmpeg({"-i", (dir_.path() / "out.mpg").string(), "-vf", "scale=1:1", "-pix_fmt", "gray", "-f",
          "rawvideo", (dir_.path() / "luma").string(), "-ac", "1", "-ar", "48000", "-f", "s16le",
          (dir_.path() / "pcm").string()});
  const std::string luma = Slurp(dir_.path() / "luma");
  const std::string pcm = Slurp(dir_.path() / "pcm");
  std::vector<double> flashes, beeps;
  for (size_t i = 1; i < luma.size(); ++i) {
    if (uint8_t(luma[i]) > 100 && uint8_t(luma[i - 1]) <= 100) flashes.push_back(i / 25.0);
  }
  int64_t lastLoud = -48000;
  for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
    const int sample = int16_t(uint8_t(pcm[i]) | pcm[i + 1] << 8);
    const int64_t n = static_cast<int64_t>(i / 2);
    if (std::abs(sample) > 2000) {
      if (n - lastLoud > 4800) beeps.push_back(n / 48000.0);
      lastLoud = n;
    }
  }
  ASSERT_EQ(flashes.size(), 29u);  // 2 s to 58 s (the first starts with the stream)
  ASSERT_EQ(beeps.size(), 30u);
  beeps.erase(beeps.begin());
  for (size_t i = 0; i < flashes.size(); ++i) {
    EXPECT_LT(std::abs(beeps[i] - flashes[i]), 0.040) << flashes[i];
  }
  EXPECT_LT(std::abs((beeps.back() - flashes.back()) - (beeps[0] - flashes[0])), 0.00025);
}

TEST(VideoProtocolTest, RequestsAndFactsSurviveTheirEncodingAndNothingElseDoes) {
  ConverterRequest request;
  request.kind = RequestKind::kVideo;
  request.path = "film.mkv";
  request.video.durationMs = 7200000;
  request.video.standard = VideoStandard::kNtsc;
  request.video.subtitles = false;
  request.video.codePage = "CP1252";
  request.video.language = "en";
  const std::string bytes = EncodeRequest(request);
  EXPECT_EQ(bytes, std::string("g\x22\0\0\0"
                               "\x00\xdd\x6d\0\0\0\0\0"  // 7,200,000 ms
                               "\x01\0\0\0\0\0\0\0"      // NTSC, no subtitles
                               "\x06"
                               "CP1252\x02"
                               "en"
                               "film.mkv",
                               39));
  ConverterRequest decoded;
  ASSERT_TRUE(DecodeRequest(bytes[0], bytes.substr(5), &decoded));
  EXPECT_EQ(decoded.video.durationMs, 7200000u);
  EXPECT_EQ(decoded.video.standard, VideoStandard::kNtsc);
  EXPECT_FALSE(decoded.video.subtitles);
  EXPECT_EQ(decoded.video.codePage, "CP1252");
  EXPECT_EQ(decoded.video.language, "en");
  EXPECT_EQ(decoded.path, "film.mkv");
  std::string bad = bytes.substr(5);
  bad[8] = 2;  // a third standard
  EXPECT_FALSE(DecodeRequest('g', bad, &decoded));
  bad = bytes.substr(5);
  bad[12] = 2;  // subtitles neither on nor off
  EXPECT_FALSE(DecodeRequest('g', bad, &decoded));
  bad = bytes.substr(5);
  bad[16] = 40;  // a code page longer than the payload
  EXPECT_FALSE(DecodeRequest('g', bad, &decoded));
  request.video.language = std::string(16, 'x');  // sent whole, refused as too long
  EXPECT_FALSE(DecodeRequest('g', EncodeRequest(request).substr(5), &decoded));

  Reply reply;
  reply.kind = ReplyKind::kVideoFacts;
  reply.video = {5400000, 1920, 1080, 1, 1, 24000, 1001, true, true, false, true};
  const std::string facts = EncodeReply(reply);
  ASSERT_EQ(facts.size(), 5u + 8 + 6 * 4 + 4);
  EXPECT_EQ(facts.substr(facts.size() - 4), std::string("\x0b\0\0\0", 4));
  Reply back;
  ASSERT_TRUE(DecodeReply('V', facts.substr(5), &back));
  EXPECT_EQ(back.video.durationMs, 5400000u);
  EXPECT_EQ(back.video.frameRateNum, 24000u);
  EXPECT_TRUE(back.video.hasVideo && back.video.hasAudio && back.video.playable);
  EXPECT_FALSE(back.video.hasSubtitles);
  EXPECT_FALSE(DecodeReply('V', facts.substr(5) + "x", &back));
  EXPECT_FALSE(DecodeReply('V', facts.substr(5, facts.size() - 6), &back));
  std::string flags = facts.substr(5);
  flags[flags.size() - 4] = 16;
  EXPECT_FALSE(DecodeReply('V', flags, &back));
}

}  // namespace
}  // namespace rureza::test
