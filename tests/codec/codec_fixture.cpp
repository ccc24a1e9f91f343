#include "codec/codec_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "convert/photo_convert.h"
#include "convert/song_convert.h"
#include "support/process.h"

extern "C" {
#include <libavutil/log.h>
}

namespace rureza::test {
namespace {

// The codecs' own messages are not the tests'.
const bool kQuiet = (av_log_set_level(AV_LOG_QUIET), true);

}  // namespace

SourceFd::SourceFd(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
  EXPECT_GE(fd_, 0) << path;
}

SourceFd::~SourceFd() {
  if (fd_ >= 0) ::close(fd_);
}

Converted ThroughPipe(const std::function<std::string(int out)>& convert) {
  int ends[2];
  EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  Converted result;
  std::thread drain([&] {
    char buffer[65536];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;)
      result.bytes.append(buffer, n);
  });
  result.error = convert(ends[1]);
  ::close(ends[1]);
  drain.join();
  ::close(ends[0]);
  return result;
}

Converted Mp3(const std::string& path, uint64_t first, uint64_t end, uint64_t* written) {
  SourceFd source(path);
  SongRequest request;
  request.sampleRate = 48000;
  request.bitRate = 256000;
  request.firstFrame = first;
  request.frameCount = end;
  return ThroughPipe([&](int out) {
    return ConvertSong(request, source.fd(), out, [&](uint64_t bytes) {
      if (written) *written = bytes;
    });
  });
}

int BadMp3Frames(const std::string& mp3) {
  if (mp3.size() % 768 != 0) return -1;
  int bad = 0;
  for (size_t at = 0; at < mp3.size(); at += 768) bad += mp3.compare(at, 3, "\xff\xfb\xd4") != 0;
  return bad;
}

JpegShape ShapeOf(const std::string& jpeg) {
  JpegShape shape;
  for (size_t i = 2; i + 9 < jpeg.size() && uint8_t(jpeg[i]) == 0xff;) {
    const uint8_t marker = uint8_t(jpeg[i + 1]);
    if (marker == 0xc0 || marker == 0xc2) {  // the frame: baseline or progressive
      shape.baseline = marker == 0xc0;
      shape.height = uint8_t(jpeg[i + 5]) << 8 | uint8_t(jpeg[i + 6]);
      shape.width = uint8_t(jpeg[i + 7]) << 8 | uint8_t(jpeg[i + 8]);
      break;
    }
    i += 2 + (uint8_t(jpeg[i + 2]) << 8 | uint8_t(jpeg[i + 3]));
  }
  return shape;
}

void CodecTest::Tool(const std::string& program, const std::vector<std::string>& args) const {
  ChildProcess tool(program, args, dir_.path());
  ASSERT_EQ(tool.Wait(120000), 0) << program << " " << args.back() << tool.Output("err");
}

std::string CodecTest::Make(const std::string& name, const std::string& source,
                            std::vector<std::string> args) const {
  args.insert(args.begin(), {"-v", "error", "-f", "lavfi", "-i", source});
  args.insert(args.end(), {"-y", Path(name)});
  Tool("/usr/bin/ffmpeg", args);
  return Path(name);
}

std::string CodecTest::Slurp(const std::string& path) const {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

uint64_t CodecTest::Samples(const std::string& path) const {
  SourceFd source(path);
  SongFacts facts;
  const std::string error = ProbeSong(source.fd(), path, &facts);
  EXPECT_EQ(error, "") << path;
  return error.empty() ? facts.samples : 0;
}

PhotoFacts CodecTest::Facts(const std::string& path, std::string* error) const {
  InitPhotos("codec_tests");
  SourceFd source(path);
  PhotoFacts facts;
  const std::string why = ProbePhoto(source.fd(), path, &facts);
  if (error) *error = why;
  EXPECT_TRUE(error || why.empty()) << path << ": " << why;
  return facts;
}

}  // namespace rureza::test
