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

TEST_F(VideoTest, ClipsOfEveryContainerConvertToTheirPlannedStream) {
  const fs::path mp4 = Clip("a.mp4", 2, {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"});
  const VideoFacts facts = Probe(mp4);
  EXPECT_TRUE(facts.hasVideo);
  EXPECT_TRUE(facts.hasAudio);
  EXPECT_FALSE(facts.playable);
  EXPECT_NEAR(static_cast<double>(facts.durationMs), 2000, 50);
  EXPECT_EQ(facts.width, 160u);
  ExpectStream(mp4, facts.durationMs, "16:9");
}

}  // namespace
}  // namespace rureza::test
