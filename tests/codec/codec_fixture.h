// What the codec tests share: fixtures made at run time with the ffmpeg, vips and heif-enc
// tools in a folder of the test's, sources opened as the server hands them over (a descriptor
// open for reading), and conversions written to a pipe that a thread of the test's drains.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "conversion/converter_protocol.h"
#include "support/fixture.h"

namespace rureza::test {

// A descriptor open for reading, closed at the end.
class SourceFd {
 public:
  explicit SourceFd(const std::string& path);
  ~SourceFd();
  SourceFd(const SourceFd&) = delete;
  SourceFd& operator=(const SourceFd&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// What a conversion returned, and the bytes it wrote.
struct Converted {
  std::string error;
  std::string bytes;
};

// Runs convert with the write end of a pipe as its output.
Converted ThroughPipe(const std::function<std::string(int out)>& convert);

// A song's conversion from frame first to frame end (exclusive), 256 kbit/s at 48 kHz;
// written: the last count its callback reported.
Converted Mp3(const std::string& path, uint64_t first, uint64_t end, uint64_t* written = nullptr);
// Frames that are not all MPEG-1 layer III at 256 kbit/s and 48 kHz, 768 bytes each (-1: the
// bytes are no whole number of frames).
int BadMp3Frames(const std::string& mp3);

// A JPEG's dimensions and whether it is baseline, from its frame header; 0 x 0 when it is none.
struct JpegShape {
  int width = 0, height = 0;
  bool baseline = false;
};
JpegShape ShapeOf(const std::string& jpeg);

class CodecTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }
  // Runs program (a fixture tool) in the test's folder; fails the test if it fails.
  void Tool(const std::string& program, const std::vector<std::string>& args) const;
  // name made by ffmpeg from a lavfi source, with args before the output.
  std::string Make(const std::string& name, const std::string& source,
                   std::vector<std::string> args = {}) const;
  std::string Slurp(const std::string& path) const;
  std::string Write(const std::string& name, const std::string& bytes) const {
    return dir_.Write(name, bytes).string();
  }
  // ProbeSong's samples (0 with the reason as a test failure) and ProbePhoto's facts.
  uint64_t Samples(const std::string& path) const;
  PhotoFacts Facts(const std::string& path, std::string* error = nullptr) const;

  TempDir dir_;
};

}  // namespace rureza::test
