// Songs and photos of other formats through the conversion layer and its converter process:
// exact lengths, seeks that decode as the song from that time, the cache across restarts and
// crashes, its bound, photos to baseline sRGB JPEG, and every kind of bad input and converter
// failure ending in one log line; then as an adapter meets them through a live server: listed
// as MP3s and JPEGs, played, seeked, and not there at all with conversion off. Fixtures are
// made at run time with ffmpeg, heif-enc and vips.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "adapter/replies.h"
#include "conversion/conversion_stats.h"
#include "conversion/conversions.h"
#include "conversion/converter_protocol.h"
#include "conversion/mp3_layout.h"
#include "conversion/process_conversions.h"
#include "platform/clock.h"
#include "platform/spawn.h"
#include "platform/thread.h"
#include "server/server.h"
#include "settings/settings_file.h"
#include "support/conversion_fixture.h"
#include "support/fixture.h"
#include "support/process.h"

namespace rureza::test {
namespace {

namespace fs = std::filesystem;

uint32_t Crc32(std::string_view bytes) {
  uint32_t crc = 0xffffffff;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

std::string BigEndian(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

std::string PngChunk(const std::string& type, const std::string& data) {
  return BigEndian(uint32_t(data.size())) + type + data + BigEndian(Crc32(type + data));
}

// A PNG whose header claims width x height and whose pixels are missing.
std::string PngHeader(uint32_t width, uint32_t height) {
  return "\x89PNG\r\n\x1a\n" +
         PngChunk("IHDR",
                  BigEndian(width) + BigEndian(height) + "\x08\x02" + std::string(3, '\0')) +
         PngChunk("IDAT", "") + PngChunk("IEND", "");
}

// jpeg with an EXIF block saying "turn it by 90 degrees" (orientation 6) right after SOI.
std::string WithExifRotation(const std::string& jpeg) {
  const std::string exif =
      std::string("Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0", 24) +
      std::string("\x06\0\0\0\0\0\0\0", 8);
  return jpeg.substr(0, 2) + "\xff\xe1" + char(0) + char(exif.size() + 2) + exif + jpeg.substr(2);
}

struct JpegShape {
  bool baseline = false;
  uint32_t width = 0, height = 0;
  bool metadata = false;  // an EXIF or colour-profile block
};

JpegShape ShapeOf(const std::string& jpeg) {
  JpegShape shape;
  for (size_t i = 2; i + 9 < jpeg.size() && uint8_t(jpeg[i]) == 0xff;) {
    const uint8_t marker = uint8_t(jpeg[i + 1]);
    const size_t length = uint8_t(jpeg[i + 2]) << 8 | uint8_t(jpeg[i + 3]);
    if (marker == 0xe1 || marker == 0xe2) shape.metadata = true;
    if (marker == 0xc0 || marker == 0xc2) {
      shape.baseline = marker == 0xc0;
      shape.height = uint8_t(jpeg[i + 5]) << 8 | uint8_t(jpeg[i + 6]);
      shape.width = uint8_t(jpeg[i + 7]) << 8 | uint8_t(jpeg[i + 8]);
      break;
    }
    i += 2 + length;
  }
  return shape;
}

class ConversionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogSink(log_);
    settings_.cacheFolder = (dir_.path() / "cache").string();
    settings_.converterProgram = RUREZA_CONVERTER_BINARY;
  }
  void TearDown() override {
    EXPECT_TRUE(WaitForThreadsToEnd(10000));  // the conversions' threads, every one
    SetLogSink(nullptr);
  }

  std::shared_ptr<Conversions> Start() {
    std::string problem;
    auto conversions = Conversions::Start(settings_, &problem);
    problem_ = problem;
    return conversions;
  }
  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }
  // A song made by ffmpeg from a lavfi source (sine by default), args before the output.
  std::string Song(const std::string& name, const std::string& source,
                   std::vector<std::string> args = {}) {
    std::vector<std::string> all = {"-v", "error", "-f", "lavfi", "-i", source};
    all.insert(all.end(), args.begin(), args.end());
    all.insert(all.end(), {"-y", Path(name)});
    RunTool(dir_.path(), "/usr/bin/ffmpeg", all);
    return Path(name);
  }
  std::string Fake(const std::string& name, const std::string& script) const {
    const fs::path path = dir_.Write(name, "#!/bin/sh\n" + script + "\n");
    fs::permissions(path, fs::perms::owner_all);
    return path.string();
  }
  // The stream's bytes from offset on, at most most of them; stops at a failure.
  static std::string Read(ConvertedStream& stream, int64_t offset = 0, int64_t most = INT64_MAX) {
    std::string bytes;
    for (int waits = 0; waits < 2000 && int64_t(bytes.size()) < most;) {
      const int64_t at = offset + int64_t(bytes.size());
      ConvertedStream::Span span = stream.BytesAt(at, 32768, 50);
      if (span.state == ConvertedStream::Span::State::kWaiting) {
        ++waits;
        continue;
      }
      if (span.state != ConvertedStream::Span::State::kReady) break;
      std::string part(size_t(std::min(span.bytes, most - int64_t(bytes.size()))), '\0');
      EXPECT_EQ(span.file->Seek(span.fileOffset), span.fileOffset);
      EXPECT_EQ(span.file->Read(part.data(), part.size()), int64_t(part.size()));
      bytes += part;
    }
    return bytes;
  }
  double FrequencyAt(const std::string& mp3) { return ToneAt(dir_.path(), mp3); }
  int CannotConvert(const std::string& path) const {
    return log_->Count("Can Not Convert File : " + path);
  }

  TempDir dir_;
  std::shared_ptr<CapturingSink> log_ = std::make_shared<CapturingSink>();
  ConversionSettings settings_;
  std::string problem_;
};

TEST(Mp3LayoutTest, FrameCountsCoverEverySampleAndTheEncodersPriming) {
  // 47 samples and the 1105 of priming fill one frame exactly; one more needs a second.
  EXPECT_EQ(Mp3FramesFor(47, 48000), 1u);
  EXPECT_EQ(Mp3FramesFor(48, 48000), 2u);
  EXPECT_EQ(Mp3FramesFor(44, 44100), 2u);  // 47.9 samples at 48 kHz count as 48
  EXPECT_EQ(Mp3FramesFor(0, 48000), 0u);
  EXPECT_EQ(Mp3FramesFor(1000, 0), 0u);
  // 44.1 kHz rounds up: 132,300 samples are 144,000 at 48 kHz.
  EXPECT_EQ(Mp3FramesFor(132300, 44100), (144000u + 1105 + 1151) / 1152);
  // The longest song whose length still fits "%d", and one frame more.
  const uint64_t most = (kMostMp3Frames * 1152 - 1105) * 2;
  EXPECT_EQ(Mp3FramesFor(most, 96000), kMostMp3Frames);
  EXPECT_EQ(Mp3FramesFor(most + 2 * 1152, 96000), 0u);
  EXPECT_EQ(Mp3FrameAt(767), 0u);
  EXPECT_EQ(Mp3FrameAt(768), 1u);
  EXPECT_EQ(Mp3FrameStartMs(1000), 24000u);
  EXPECT_EQ(EstimatedMp3Length("FLAC", 110000 * 60), Mp3Length(60 * 48000 / 1152 + 1));
}

TEST(ConverterProtocolTest, RepliesAreReadExactlyAndAnythingElseBreaksTheStream) {
  MessageReader reader;
  // kWritten 768 bytes, cut in two, then kFailed "no".
  reader.Add(std::string("W\x08\0\0\0\0\x03\0", 8));
  uint8_t kind;
  std::string payload;
  EXPECT_FALSE(reader.Next(&kind, &payload));
  reader.Add(std::string("\0\0\0\0\0E\x02\0\0\0no", 12));
  Reply reply;
  ASSERT_TRUE(reader.Next(&kind, &payload));
  ASSERT_TRUE(DecodeReply(kind, payload, &reply));
  EXPECT_EQ(reply.bytes, 768u);
  ASSERT_TRUE(reader.Next(&kind, &payload));
  ASSERT_TRUE(DecodeReply(kind, payload, &reply));
  EXPECT_EQ(reply.text, "no");
  EXPECT_FALSE(DecodeReply('W', std::string(7, '\0'), &reply));  // cut short
  EXPECT_FALSE(DecodeReply('W', std::string(9, '\0'), &reply));  // one byte too many
  EXPECT_FALSE(DecodeReply('P', std::string("\1\0\0\0\1\0\0\0\2", 9), &reply));  // flag 2
  EXPECT_FALSE(DecodeReply('Z', "", &reply));
  ASSERT_TRUE(DecodeReply('N', "unconfined", &reply));  // about the converter: a text
  EXPECT_EQ(reply.kind, ReplyKind::kNotice);
  EXPECT_EQ(reply.text, "unconfined");
  // A payload one byte over the limit breaks the stream; one at the limit does not.
  for (uint32_t length : {uint32_t(kMostPayload), uint32_t(kMostPayload) + 1}) {
    MessageReader big;
    big.Add(std::string("E") + char(length) + char(length >> 8) + std::string(2, '\0'));
    big.Add(std::string(length, 'x'));
    EXPECT_EQ(big.Next(&kind, &payload), length == kMostPayload);
    EXPECT_EQ(big.broken(), length != kMostPayload);
  }
}

TEST_F(ConversionTest, SongsOfEveryKindPlayTheirExactLengthAsConstantFrames) {
  auto conversions = Start();
  struct {
    std::string name;
    std::vector<std::string> args;
    uint64_t samples;  // at rate; 0: as the format pads it
    uint32_t rate;
  } const songs[] = {
      {"a.flac", {"-ac", "2"}, 88200, 44100},
      {"surround.flac", {"-ac", "6"}, 88200, 44100},
      {"high.flac", {"-ac", "2"}, 192000, 96000},
      {"a.wav", {"-ac", "1"}, 88200, 44100},
      {"a.m4a", {"-c:a", "aac"}, 0, 44100},
      {"a.opus", {}, 0, 48000},
      // 47 and 48 samples: exactly one frame with the priming, and one sample more.
      {"one.wav", {"-af", "atrim=end_sample=47"}, 47, 48000},
      {"two.wav", {"-af", "atrim=end_sample=48"}, 48, 48000},
  };
  for (const auto& song : songs) {
    const std::string path =
        Song(song.name, "sine=frequency=1000:duration=2:sample_rate=" + std::to_string(song.rate),
             song.args);
    std::unique_ptr<ConvertedStream> stream = conversions->OpenSong(path);
    ASSERT_TRUE(stream) << song.name;
    const int64_t frames = stream->length() / kMp3FrameBytes;
    EXPECT_EQ(stream->length() % kMp3FrameBytes, 0);
    // The lossy codecs' own padding adds at most a few of their frames.
    const uint64_t expected = Mp3FramesFor(song.samples ? song.samples : 2 * song.rate, song.rate);
    EXPECT_NEAR(frames, expected, song.samples ? 0 : 3) << song.name;
    const std::string bytes = Read(*stream);
    ASSERT_EQ(int64_t(bytes.size()), stream->length()) << song.name;
    for (int64_t f = 0; f < frames; ++f) {  // MPEG-1 layer III, 256 kbit/s, 48 kHz, no tags
      ASSERT_EQ(bytes.substr(f * kMp3FrameBytes, 3), "\xff\xfb\xd4") << song.name << f;
    }
    if (frames > 2) {
      EXPECT_NEAR(FrequencyAt(bytes), 1000, 30) << song.name;
    }
  }
  EXPECT_EQ(log_->AllLines().size(), 0u);
}

TEST_F(ConversionTest, ASongIsAsLongAsWhatItsFileHoldsWhateverItsHeaderClaims) {
  auto conversions = Start();
  const std::string whole = Song("whole.flac", "sine=frequency=1000:duration=4", {"-ac", "2"});
  std::string cut = Slurp(whole);
  cut.resize(cut.size() / 2);
  const std::string truncated = dir_.Write("cut.flac", cut).string();
  std::unique_ptr<ConvertedStream> stream = conversions->OpenSong(truncated);
  ASSERT_TRUE(stream);
  // Its header's 4 s less the half of its frames that are gone (and the metadata's share).
  EXPECT_LT(stream->length(), Mp3Length(Mp3FramesFor(2 * 44100, 44100)));
  EXPECT_GT(stream->length(), Mp3Length(Mp3FramesFor(44100, 44100)));
  const std::string bytes = Read(*stream);
  EXPECT_EQ(int64_t(bytes.size()), stream->length());
  EXPECT_NEAR(FrequencyAt(bytes.substr(bytes.size() - 20 * kMp3FrameBytes)), 1000, 30);
  // A WAV whose header claims 4 GiB of samples is as long as its samples.
  std::string wav = Slurp(Song("a.wav", "sine=duration=1", {"-ac", "2"}));
  wav.replace(wav.find("data") + 4, 4, "\xf0\xff\xff\xff");
  stream = conversions->OpenSong(dir_.Write("claims.wav", wav).string());
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->length(), Mp3Length(Mp3FramesFor(44100, 44100)));
}

TEST_F(ConversionTest, TheConverterStartsCleanAndRunsConfined) {
  // A descriptor left open across an exec (by a library, say), and a variable of the server's.
  const int made = ::open(Path("leaked").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
  const int leaked = ::fcntl(made, F_DUPFD, 100);  // not close-on-exec
  ::close(made);
  ::setenv("RUREZA_SERVER_SECRET", "1", 1);
  const std::string song = Song("long.flac", "sine=duration=600", {"-ac", "1"});
  auto conversions = Start();
  std::unique_ptr<ConvertedStream> stream = conversions->OpenSong(song);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(WaitUntil(  // converting (its libraries are all loaded)
      [&] { return stream->BytesAt(0, 1, 10).state == ConvertedStream::Span::State::kReady; }));
  std::string proc;  // the converter's /proc folder, while it converts
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& entry : fs::directory_iterator("/proc")) {
      if (!std::isdigit(entry.path().filename().string()[0])) continue;
      const std::string stat = Slurp(entry.path() / "stat");
      if (stat.find("(rureza-convert) ") != std::string::npos &&
          std::stoi(stat.substr(stat.find(") ") + 4)) == ::getpid()) {
        proc = entry.path().string();
      }
    }
    return !proc.empty();
  }));
  const std::string status = Slurp(proc + "/status");
  EXPECT_NE(status.find("NoNewPrivs:\t1"), std::string::npos);
#ifndef __SANITIZE_ADDRESS__  // its runtime runs the converter without the filter
  EXPECT_NE(status.find("Seccomp:\t2"), std::string::npos);
#endif
  std::istringstream variables(Slurp(proc + "/environ"));
  for (std::string entry; std::getline(variables, entry, '\0');) {
    EXPECT_TRUE(entry.starts_with("PATH=/usr/bin:/bin") || entry.starts_with("LANG=") ||
                entry.starts_with("LC_") || entry.starts_with("MALLOC_ARENA_MAX=") ||
                entry.starts_with("VIPS_WARNING=") ||
                entry.substr(0, entry.find('=')).ends_with("SAN_OPTIONS"))
        << entry;
  }
  for (const auto& fd : fs::directory_iterator(proc + "/fd")) {
    std::error_code ignored;
    EXPECT_TRUE(std::stoi(fd.path().filename()) <= 3 || fs::read_symlink(fd, ignored) == song)
        << fs::read_symlink(fd, ignored);
  }
  ::close(leaked);
  ::unsetenv("RUREZA_SERVER_SECRET");
  // From its exec on, not only once it sets it itself.
  const int out = ::open(Path("privs").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  Status error;
  const pid_t shell = SpawnProcess("/bin/sh", {"sh", "-c", "grep NoNewPrivs /proc/self/status"},
                                   HelperEnvironment({}), {-1, out, 2}, &error);
  ASSERT_GT(shell, 0);
  ::waitpid(shell, nullptr, 0);
  ::close(out);
  EXPECT_EQ(Slurp(Path("privs")), "NoNewPrivs:\t1\n");
}

TEST_F(ConversionTest, SeeksDecodeAsTheSongFromThatTimeFromTheCacheOrAConversionOfTheirOwn) {
  // 40 s, the tone rising by 200 Hz every 5 s.
  const std::string path =
      Song("steps.flac", "aevalsrc=sin(2*PI*t*200*(1+floor(t/5))):s=44100:d=40", {"-ac", "2"});
  auto conversions = Start();
  const int64_t at12 = 12500 * 32 + 100, at22 = 22500 * 32 + 700;  // 32 bytes per ms
  for (int play = 0; play < 2; ++play) {  // converting, then from the cache
    std::unique_ptr<ConvertedStream> stream = conversions->OpenSong(path);
    ASSERT_TRUE(stream);
    // Far ahead of what the first play's conversion has written: a conversion of its own.
    const std::string far = Read(*stream, at22, 64 * 1024);
    ASSERT_EQ(far.size(), 64 * 1024u);
    // The adapter resynchronises at the next frame, which starts at a multiple of 768.
    EXPECT_EQ(far.substr(768 - at22 % 768, 2), "\xff\xfb");
    EXPECT_NEAR(FrequencyAt(far.substr(768 - at22 % 768)), 1000, 40) << play;
    EXPECT_NEAR(FrequencyAt(Read(*stream, at12, 64 * 1024)), 600, 40) << play;
    EXPECT_EQ(int64_t(Read(*stream).size()), stream->length());
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(dir_.path() / "cache" / "1.entry"); }));
  }
}

TEST_F(ConversionTest, TheCacheServesTheNextPlayAfterARestartWithoutAnyConversion) {
  const std::string song = Song("a.flac", "sine=duration=3", {"-ac", "2"});
  const std::string photo = Song("a.png", "testsrc2=s=2400x1600", {"-frames:v", "1"});
  std::string mp3, jpeg;
  {
    auto conversions = Start();
    EXPECT_EQ(problem_, "");
    std::unique_ptr<ConvertedStream> stream = conversions->OpenSong(song);
    ASSERT_TRUE(stream);
    mp3 = Read(*stream);
    Conversions::Photo converted = conversions->OpenPhoto(photo);
    ASSERT_TRUE(converted.file.valid());
    jpeg.resize(size_t(converted.length));
    converted.file.Read(jpeg.data(), jpeg.size());
    ASSERT_TRUE(WaitUntil([&] {  // the song's entry and the photo's, in either order
      return fs::exists(dir_.path() / "cache" / "1.entry") &&
             fs::exists(dir_.path() / "cache" / "2.entry");
    }));
  }
  settings_.converterProgram = "/nonexistent/rureza-convert";
  auto conversions = Start();
  std::unique_ptr<ConvertedStream> stream = conversions->OpenSong(song);
  ASSERT_TRUE(stream);
  EXPECT_EQ(Read(*stream), mp3);
  Conversions::Photo cached = conversions->OpenPhoto(photo);
  ASSERT_EQ(cached.length, int64_t(jpeg.size()));
  std::string again(jpeg.size(), '\0');
  cached.file.Read(again.data(), again.size());
  EXPECT_EQ(again, jpeg);
  EXPECT_EQ(conversions->SongLength(song, StampOf(song), "flac").kind, ListedLength::Kind::kExact);
  EXPECT_EQ(conversions->PhotoLength(photo, StampOf(photo)).length, int64_t(jpeg.size()));
  // A changed source is a new version: converted afresh, which this converter cannot.
  fs::last_write_time(song, fs::last_write_time(song) + std::chrono::seconds(5));
  EXPECT_EQ(conversions->SongLength(song, StampOf(song), "flac").kind,
            ListedLength::Kind::kEstimated);
  EXPECT_FALSE(conversions->OpenSong(song));
  EXPECT_EQ(CannotConvert(song), 1);
}

TEST_F(ConversionTest, ACacheLeftDamagedIsNeverTrusted) {
  const std::string song = Song("a.flac", "sine=duration=2", {"-ac", "2"});
  std::string mp3;
  {
    auto conversions = Start();
    mp3 = Read(*conversions->OpenSong(song));
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(dir_.path() / "cache" / "1.entry"); }));
  }
  const fs::path cache = dir_.path() / "cache";
  // A crash left a part and an entry nobody knows; the known entry lost its end.
  std::ofstream(cache / "7.part") << "half";
  std::ofstream(cache / "9.entry") << "stray";
  fs::resize_file(cache / "1.entry", mp3.size() - 1);
  {
    auto conversions = Start();
    EXPECT_EQ(problem_, "");
    EXPECT_FALSE(fs::exists(cache / "7.part"));
    EXPECT_FALSE(fs::exists(cache / "9.entry"));
    EXPECT_FALSE(fs::exists(cache / "1.entry"));
    EXPECT_EQ(Read(*conversions->OpenSong(song)), mp3);  // converted again
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(cache / "2.entry"); }));
  }
  // A store that is not a database: begun anew, its entries with it.
  std::ofstream(cache / "store.db", std::ios::trunc) << std::string(8192, 'x');
  auto conversions = Start();
  EXPECT_EQ(problem_, "The cache in " + cache.string() + " was damaged and is begun anew");
  EXPECT_FALSE(fs::exists(cache / "2.entry"));
  EXPECT_EQ(conversions->SongLength(song, StampOf(song), "flac").kind,
            ListedLength::Kind::kEstimated);
  EXPECT_EQ(Read(*conversions->OpenSong(song)), mp3);
}

TEST_F(ConversionTest, AFullCacheDropsTheLeastRecentlyPlayedEntryFirst) {
  std::vector<std::string> songs;
  for (const char* name : {"a.flac", "b.flac", "c.flac"}) {
    songs.push_back(Song(name, "sine=duration=1", {"-ac", "2"}));
  }
  const int64_t length = Mp3Length(Mp3FramesFor(44100, 44100));
  const fs::path cache = dir_.path() / "cache";
  auto files = [&](const std::string& ending) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(cache)) {
      if (entry.path().extension() == ending) names.insert(entry.path().filename());
    }
    return names;
  };
  // Exactly full: a (1) and b (2) are kept, and c (3) takes the place of b, played less
  // recently than a, also when a's play came after a restart. One byte short: each entry takes
  // its predecessor's place.
  for (int64_t spare : {0, -1}) {
    fs::remove_all(cache);
    settings_.cacheBytes = uint64_t(2 * length + spare);
    for (const std::vector<int>& plays : {std::vector<int>{0, 1}, {0, 2}}) {
      auto conversions = Start();
      for (int i : plays) {
        EXPECT_EQ(int64_t(Read(*conversions->OpenSong(songs[i])).size()), length);
        ASSERT_TRUE(WaitUntil([&] { return files(".part").empty(); }));
      }
    }
    const std::set<std::string> kept =
        spare == 0 ? std::set<std::string>{"1.entry", "3.entry"} : std::set<std::string>{"4.entry"};
    EXPECT_EQ(files(".entry"), kept);
  }
  // A smaller bound at the next start trims the cache to it, the least recently played first;
  // a bound of 0 keeps none, and no old entry is served (this converter converts nothing).
  settings_.cacheBytes = uint64_t(length);
  Start();
  EXPECT_EQ(files(".entry"), std::set<std::string>{"4.entry"});
  settings_.cacheBytes = 0;
  settings_.converterProgram = "/nonexistent/rureza-convert";
  auto none = Start();
  EXPECT_TRUE(files(".entry").empty());
  std::unique_ptr<ConvertedStream> stream = none->OpenSong(songs[2]);
  EXPECT_TRUE(!stream || Read(*stream).empty());
}

// Whatever replaces a source (the same size with its modification time put back, another file
// renamed over it) is a new version: converted afresh, never served from the old one's cache.
TEST_F(ConversionTest, AnyReplacementOfASourceIsConvertedAfresh) {
  const std::string song = Song("a.wav", "sine=frequency=440:duration=2", {"-ac", "2"});
  const std::string other = Song("b.wav", "sine=frequency=1000:duration=2", {"-ac", "2"});
  const std::string third = Song("c.wav", "sine=frequency=1600:duration=2", {"-ac", "2"});
  ASSERT_EQ(fs::file_size(song), fs::file_size(other));
  auto conversions = Start();
  auto tone = [&] { return FrequencyAt(Read(*conversions->OpenSong(song)).substr(768)); };
  EXPECT_NEAR(tone(), 440, 40);
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(dir_.path() / "cache" / "1.entry"); }));
  // As cp -p or a tagger that keeps times leaves it: in place, the same size and time.
  const auto time = fs::last_write_time(song);
  std::ofstream(song, std::ios::binary | std::ios::trunc) << Slurp(other);
  fs::last_write_time(song, time);
  EXPECT_NEAR(tone(), 1000, 40);
  fs::last_write_time(third, time);
  fs::rename(third, song);
  EXPECT_NEAR(tone(), 1600, 40);
}

// A converter that dies while a song plays is started once more, and the play goes on with the
// very bytes a clean play has; one that dies again ends the play with its line.
TEST_F(ConversionTest, AConverterKilledOnceLeavesNoGapAndKilledTwiceEndsThePlay) {
  const std::string song = Song("long.flac", "sine=frequency=440:duration=150", {"-ac", "2"});
  settings_.cacheFolder = Path("clean");
  const std::string clean = Read(*Start()->OpenSong(song));
  for (int deaths : {1, 2}) {
    settings_.cacheFolder = Path("cache" + std::to_string(deaths));  // nothing kept before
    auto conversions = Start();
    std::unique_ptr<ConvertedStream> stream = conversions->OpenSong(song);
    ASSERT_TRUE(stream);
    EXPECT_EQ(Read(*stream, 0, 65536), clean.substr(0, 65536));
    pid_t killed = 0;
    for (int death = 0; death < deaths; ++death) {
      pid_t converter = 0;
      ASSERT_TRUE(WaitUntil([&] {
        const std::vector<pid_t> pids = ConverterPids();
        converter = pids.empty() ? 0 : pids.back();
        return converter != 0 && converter != killed;
      }));
      ::kill(converter, SIGKILL);
      killed = converter;
    }
    const std::string whole = Read(*stream);
    if (deaths == 1) {
      EXPECT_TRUE(whole == clean) << whole.size() << " bytes of " << clean.size();
      EXPECT_EQ(CannotConvert(song), 0);
    } else {
      EXPECT_LT(whole.size(), clean.size());
      EXPECT_EQ(CannotConvert(song), 1);
    }
  }
}

// Eight plays of one photo at once: one conversion, and each of them gets it; the next photos
// of a slideshow are converted ahead when asked to.
TEST_F(ConversionTest, APhotoAskedForAtOnceConvertsOnceAndTheNextOnesAhead) {
  const std::string png = Song("a.png", "testsrc2=s=1600x1200", {"-frames:v", "1"});
  std::vector<std::string> heics;
  for (const char* name : {"a.heic", "b.heic", "c.heic"}) {
    heics.push_back(Path(name));
    RunTool(dir_.path(), "/usr/bin/heif-enc", {"-q", "60", "-o", heics.back(), png});
  }
  auto conversions = Start();
  const uint64_t started = ProcessConversionStats().started.load();
  std::vector<std::string> jpegs(8);
  std::vector<std::thread> plays;
  for (std::string& jpeg : jpegs) {
    plays.emplace_back([&] {
      Conversions::Photo photo = conversions->OpenPhoto(heics[0]);
      jpeg.resize(size_t(std::max<int64_t>(photo.length, 0)));
      if (photo.file.valid()) photo.file.Read(jpeg.data(), jpeg.size());
    });
  }
  for (std::thread& play : plays) play.join();
  EXPECT_EQ(ProcessConversionStats().started.load() - started, 1u);
  EXPECT_FALSE(jpegs[0].empty());
  EXPECT_EQ(std::set<std::string>(jpegs.begin(), jpegs.end()).size(), 1u);
  conversions->PrefetchPhotos(
      [&] {
        std::vector<SourceFile> next;
        for (size_t i = 1; i < heics.size(); ++i) {
          next.push_back({File::OpenShared(heics[i]), heics[i]});
        }
        return next;
      },
      settings_.photoSize);
  // A long bound: two photos at the converters' priority on a machine busy with other tests.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return conversions->PhotoLength(heics[2], StampOf(heics[2])).length ==
               int64_t(jpegs[0].size());
      },
      60000));
  EXPECT_EQ(ProcessConversionStats().started.load() - started, 3u);
}

// A film's conversion is ended when its last play leaves; a play that starts right after, as an
// adapter's user who goes back to the film does, gets one of its own and the film whole.
TEST_F(ConversionTest, AFilmPlayedAgainAsItsLastPlayLeavesPlaysWhole) {
  const std::string film =
      Song("film.mp4", "testsrc2=size=160x90:rate=25:duration=2",
           {"-f", "lavfi", "-i", "sine=duration=2", "-c:v", "libx264", "-c:a", "aac"});
  auto conversions = Start();
  auto open = [&] { return conversions->OpenVideo({File::OpenShared(film), film}, {}, {}); };
  std::unique_ptr<ConvertedStream> left = open();
  ASSERT_TRUE(left);
  EXPECT_EQ(Read(*left, 0, 32768).size(), 32768u);
  left.reset();
  std::unique_ptr<ConvertedStream> again = open();
  ASSERT_TRUE(again);
  EXPECT_EQ(int64_t(Read(*again).size()), again->length());
  EXPECT_EQ(CannotConvert(film), 0);
}

// Everything a cache puts on the disk, seeks' files too, stays within its bound while four
// plays seek at once; what does not fit converts in memory, and every seek still plays.
TEST_F(ConversionTest, TheCacheBoundHoldsForEverythingItPutsOnTheDisk) {
  const std::string song =
      Song("long.flac", "aevalsrc=sin(2*PI*t*200*(1+floor(t/30))):s=44100:d=240", {"-ac", "2"});
  settings_.cacheBytes = 9 << 20;  // the song's conversion (7.7 MB); the seeks convert in memory
  auto conversions = Start();
  const fs::path cache = dir_.path() / "cache";
  std::atomic<bool> done{false};
  uint64_t most = 0;
  std::thread watch([&] {
    for (; !done; SleepMs(5)) most = std::max(most, DiskBytesIn(cache));
  });
  std::vector<std::thread> plays;
  std::vector<std::string> heard(4);
  for (int i = 0; i < 4; ++i) {
    plays.emplace_back([&, i] {
      std::unique_ptr<ConvertedStream> stream = conversions->OpenSong(song);
      if (!stream) return;
      const int64_t at = (45 + 60 * i) * 32000 + 77;  // the middle of each half minute
      heard[i] = Read(*stream, at, 32768);
      heard[i] = heard[i].substr(std::min(heard[i].size(), size_t(768 - at % 768)));
    });
  }
  for (std::thread& play : plays) play.join();
  done = true;
  watch.join();
  EXPECT_LE(most, settings_.cacheBytes);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(FrequencyAt(heard[i]), 200 * (2 + 2 * i), 40) << i;
}

TEST_F(ConversionTest, ListingsEstimateUntilABatchMeasuresAndRemembersEverything) {
  const std::string a = Song("a.flac", "sine=duration=2", {"-ac", "2"});
  const std::string b = Song("b.ogg", "sine=duration=3", {"-c:a", "libvorbis"});
  const std::string garbage = dir_.Write("g.flac", "fLaC not really").string();
  const std::string photo = dir_.Write("p.png", PngHeader(16384, 6103)).string();
  const std::string starts = Path("starts");
  settings_.converterProgram =
      Fake("counting", "echo >> " + starts + "; exec " RUREZA_CONVERTER_BINARY " \"$@\"");
  {
    auto conversions = Start();
    EXPECT_EQ(conversions->SongLength(a, StampOf(a), "flac").kind, ListedLength::Kind::kEstimated);
    EXPECT_EQ(
        conversions->Measure({a, b, garbage, Path("missing.flac")}, {photo}, [] { return false; }),
        4u);
    EXPECT_EQ(Slurp(starts), "\n");  // one process for the whole batch
  }
  auto conversions = Start();
  EXPECT_EQ(conversions->Measure({a, b, garbage}, {photo}, [] { return false; }), 0u);
  // Two plays of a song never played share one conversion.
  std::unique_ptr<ConvertedStream> first = conversions->OpenSong(a),
                                   second = conversions->OpenSong(a);
  EXPECT_EQ(Read(*first), Read(*second));
  EXPECT_EQ(Slurp(starts), "\n\n");
  const ListedLength listed = conversions->SongLength(b, StampOf(b), "ogg");
  EXPECT_EQ(listed.kind, ListedLength::Kind::kExact);
  EXPECT_NEAR(listed.length, Mp3Length(Mp3FramesFor(3 * 44100, 44100)), 3 * kMp3FrameBytes);
  EXPECT_EQ(conversions->SongLength(garbage, StampOf(garbage), "flac").kind,
            ListedLength::Kind::kUnplayable);
  // 16,384 x 6,103 is 99,991,552 pixels: measured, and fitted to 1920 x 715.
  EXPECT_EQ(conversions->PhotoLength(photo, StampOf(photo)).length, 1920 * 715 / 4 + 1024);
}

TEST_F(ConversionTest, PhotosBecomeBaselineSrgbJpegsThatFitAndJpegsThatAreFineStayAsTheyAre) {
  const std::string big = Song("big.png", "testsrc2=s=2400x1600", {"-frames:v", "1"});
  Song("red.png", "color=c=red:s=64x48", {"-frames:v", "1"});
  RunTool(dir_.path(), "/usr/bin/vips", {"icc_transform", Path("red.png"), Path("p3.png"), "p3"});
  RunTool(dir_.path(), "/usr/bin/heif-enc", {"-q", "90", "-o", Path("p3.heic"), Path("p3.png")});
  RunTool(dir_.path(), "/usr/bin/vips", {"copy", Path("p3.png"), Path("p3.jpg")});
  RunTool(dir_.path(), "/usr/bin/vips", {"copy", Path("red.png"), Path("fine.jpg")});
  RunTool(dir_.path(), "/usr/bin/vips",
          {"copy", Path("red.png"), Path("progressive.jpg[interlace]")});
  RunTool(dir_.path(), "/usr/bin/vips", {"copy", big, Path("big.jpg")});
  RunTool(dir_.path(), "/usr/bin/vips",
          {"icc_transform", Path("red.png"), Path("cmyk.jpg"), "cmyk"});
  const std::string turned = dir_.Write("turned.jpg", WithExifRotation(Slurp(Path("fine.jpg"))));
  auto conversions = Start();
  for (const char* name : {"progressive.jpg", "big.jpg", "cmyk.jpg", "p3.jpg", "turned.jpg"}) {
    EXPECT_TRUE(conversions->JpegNeedsConversion(Path(name))) << name;
  }
  EXPECT_FALSE(conversions->JpegNeedsConversion(Path("fine.jpg")));
  struct {
    std::string name;
    uint32_t width, height;
  } const photos[] = {{"big.png", 1620, 1080}, {"p3.heic", 64, 48}, {"turned.jpg", 48, 64}};
  for (const auto& photo : photos) {
    Conversions::Photo converted = conversions->OpenPhoto(Path(photo.name));
    ASSERT_TRUE(converted.file.valid()) << photo.name;
    std::string jpeg(size_t(converted.length), '\0');
    ASSERT_EQ(converted.file.Read(jpeg.data(), jpeg.size() + 1), converted.length);
    const JpegShape shape = ShapeOf(jpeg);
    EXPECT_TRUE(shape.baseline) << photo.name;
    EXPECT_FALSE(shape.metadata) << photo.name;
    EXPECT_EQ(shape.width, photo.width) << photo.name;
    EXPECT_EQ(shape.height, photo.height) << photo.name;
    if (photo.name == "p3.heic") {  // Display P3's red taken back to sRGB's
      std::ofstream(dir_.path() / "out.jpg", std::ios::binary) << jpeg;
      RunTool(dir_.path(), "/usr/bin/vips", {"getpoint", Path("out.jpg"), "32", "24"});
      std::istringstream rgb(Slurp(dir_.path() / "out"));
      int r, g, b;
      rgb >> r >> g >> b;
      EXPECT_GT(r, 245);
      EXPECT_LT(g + b, 20);
    }
  }
}

TEST_F(ConversionTest, BadInputEndsItsPlayWithOneLineAndTheCacheKeepsNothing) {
  Song("ok.png", "testsrc2=s=320x240", {"-frames:v", "1"});
  RunTool(dir_.path(), "/usr/bin/heif-enc", {"-o", Path("ok.heic"), Path("ok.png")});
  // A well-formed container whose picture the decoder rejects.
  std::string heic = Slurp(Path("ok.heic"));
  heic.replace(heic.find("mdat") + 8, 40, std::string(40, '\xff'));
  const std::vector<std::string> songs = {dir_.Write("garbage.flac", "fLaC" + PatternBytes(5000)),
                                          dir_.Write("empty.m4a", ""), Path("gone.flac")};
  const std::vector<std::string> photos = {
      dir_.Write("huge.png", PngHeader(100000, 100000)),
      dir_.Write("wide.png", PngHeader(16385, 1)),
      dir_.Write("many.png", PngHeader(10000, 10001)),  // one row over 100 megapixels
      dir_.Write("bad.heic", heic), Path("gone.png")};
  auto conversions = Start();
  for (const std::string& song : songs) {
    EXPECT_FALSE(conversions->OpenSong(song)) << song;
    EXPECT_EQ(CannotConvert(song), 1) << song;
  }
  for (const std::string& photo : photos) {
    EXPECT_FALSE(conversions->OpenPhoto(photo).file.valid()) << photo;
    EXPECT_EQ(CannotConvert(photo), 1) << photo;
  }
  // The songs whose headers were read now are also said to be left out of the listing, why.
  EXPECT_EQ(log_->AllLines().size(), songs.size() + photos.size() + 2);
  EXPECT_TRUE(log_->WaitFor([&](const std::string& line) {
    return line.starts_with("Left out of the listing, it cannot be played : " + songs[0] + " (");
  }));
  // A cache folder taken by another server, or one that cannot be made: nothing on disk, but
  // songs and photos are still converted.
  for (const fs::path& folder : {dir_.path() / "cache", dir_.Write("file", "")}) {
    settings_.cacheFolder = folder.string();
    auto diskless = Start();
    EXPECT_TRUE(problem_.starts_with("The cache in " + folder.string() + " is not used: "));
    const std::string song = Song("s.wav", "sine=duration=1");
    EXPECT_EQ(int64_t(Read(*diskless->OpenSong(song)).size()),
              Mp3Length(Mp3FramesFor(44100, 44100)));
    EXPECT_TRUE(diskless->OpenPhoto(Path("ok.png")).file.valid());
  }
  // The largest pictures allowed are measured (and refused only for their missing pixels).
  conversions->Measure({},
                       {dir_.Write("edge.png", PngHeader(16384, 1)),
                        dir_.Write("square.png", PngHeader(10000, 10000))},
                       [] { return false; });
  EXPECT_EQ(conversions->PhotoLength(Path("edge.png"), StampOf(Path("edge.png"))).kind,
            ListedLength::Kind::kEstimated);
  EXPECT_EQ(conversions->PhotoLength(Path("square.png"), StampOf(Path("square.png"))).kind,
            ListedLength::Kind::kEstimated);
  EXPECT_EQ(conversions->PhotoLength(Path("wide.png"), StampOf(Path("wide.png"))).kind,
            ListedLength::Kind::kEstimated);  // not measured yet
  conversions->Measure({}, {Path("wide.png")}, [] { return false; });
  EXPECT_EQ(conversions->PhotoLength(Path("wide.png"), StampOf(Path("wide.png"))).kind,
            ListedLength::Kind::kUnplayable);
  for (const auto& entry : fs::directory_iterator(dir_.path() / "cache")) {
    const std::string name = entry.path().filename();
    EXPECT_TRUE(name.starts_with("store.db") || name == "lock") << name;
  }
}

TEST_F(ConversionTest, AConverterThatCrashesHangsTalksNonsenseOrRunsOutOfMemoryEndsOnePlay) {
  const std::string song = Song("a.flac", "sine=duration=60", {"-ac", "2"});
  Start()->Measure({song}, {}, [] { return false; });  // later starts need no probe
  settings_.limits.watchdogMs = 300;
  const std::pair<std::string, std::string> converters[] = {
      {"crash", "kill -SEGV $$"},
      {"hang", "exec sleep 600"},
      {"nonsense", "printf 'Zgarbage'; exec sleep 600"},
  };
  for (const auto& [name, script] : converters) {
    settings_.converterProgram = Fake(name, script);
    log_->Reset();
    auto conversions = Start();
    // A converter that dies at once may already be gone when the play starts.
    std::unique_ptr<ConvertedStream> stream = conversions->OpenSong(song);
    if (stream) {
      Read(*stream);
      EXPECT_EQ(stream->BytesAt(0, 32768, 0).state, ConvertedStream::Span::State::kFailed) << name;
    }
    EXPECT_EQ(log_->AllLines(), std::vector<std::string>{"Can Not Convert File : " + song}) << name;
  }
  // The real converter, with memory for its libraries but not for a 4-megapixel photo.
  if (settings_.limits.photoMemoryBytes > 0) {  // the sanitizers' builds run without limits
    const std::string photo = Song("mid.png", "testsrc2=s=2400x1600", {"-frames:v", "1"});
    settings_.converterProgram = RUREZA_CONVERTER_BINARY;
    settings_.limits.photoMemoryBytes = 40 << 20;
    log_->Reset();
    EXPECT_FALSE(Start()->OpenPhoto(photo).file.valid());
    EXPECT_EQ(log_->AllLines(), std::vector<std::string>{"Can Not Convert File : " + photo});
  }
  // Stopping ends a conversion under way, and the plays that wait for it.
  settings_.converterProgram = Fake("slow", "exec sleep 600");
  settings_.limits.watchdogMs = 60000;
  auto conversions = Start();
  std::unique_ptr<ConvertedStream> stream = conversions->OpenSong(song);
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->BytesAt(0, 1, 0).state, ConvertedStream::Span::State::kWaiting);
  conversions->Stop();
  EXPECT_TRUE(WaitUntil(
      [&] { return stream->BytesAt(0, 1, 10).state == ConvertedStream::Span::State::kFailed; }));
}

TEST_F(ConvertedPlayTest, SongsAreListedAsMp3sWithTheirExactLengthAndPlayAndSeekLikeFiles) {
  // 60 s, the tone rising by 200 Hz every 5 s, and a WAV of its stem; a real MP3 and a FLAC of
  // one stem; garbage.
  Make("audio/Album/01 Title.flac", "aevalsrc=sin(2*PI*t*200*(1+floor(t/5))):s=44100:d=60",
       {"-ac", "2"});
  Make("audio/Album/01 Title.wav", "sine=duration=1", {});
  Make("audio/Album/02 Song.FLAC", "sine=duration=1", {"-ac", "2", "-f", "flac"});
  const std::string realMp3 = Media("audio/Album/02 Song.mp3", PatternBytes(5000));
  Media("audio/Album/03 Bad.flac", "fLaC" + PatternBytes(5000));
  Start();
  const int64_t length = Mp3Length(Mp3FramesFor(60 * 44100, 44100));
  const int64_t second = Mp3Length(Mp3FramesFor(44100, 44100));
  // The first listing estimates from the size the walk read: nothing is opened to list.
  const int64_t flacSize = int64_t(fs::file_size(audio() / "Album/01 Title.flac"));
  EXPECT_EQ(Listed()["Album/01 Title.mp3"], EstimatedMp3Length("flac", flacSize));
  // A background pass measures them: later listings carry exact lengths and leave out what
  // cannot be played.
  EXPECT_TRUE(WaitUntil([&] { return Listed().size() == 4; }));
  std::map<std::string, uint32_t> listed = Listed();
  // In their places; a file listed as it is keeps its name, and of two sources the first by
  // their bytes; the other takes a short name.
  ASSERT_EQ(order_.size(), 4u);
  EXPECT_EQ(order_[0] + "|" + order_[2], "Album/01 Title.mp3|Album/02 Song.mp3");
  EXPECT_TRUE(order_[1].starts_with("Album-01 Title~") && order_[3].starts_with("Album-02 Song~"));
  EXPECT_EQ(std::vector<int64_t>({listed[order_[0]], listed[order_[1]], listed[order_[3]]}),
            std::vector<int64_t>({length, second, second}));
  EXPECT_EQ(Fetch('1', "Album/02 Song.mp3"), std::pair(std::string("5000"), realMp3));
  EXPECT_EQ(Fetch('1', order_[3]).first, std::to_string(second));

  // A fast forward with Play to 42.5 s, into the middle of a frame, as the song begins; another
  // adapter plays it whole by its own name meanwhile, while it is converted.
  const int64_t target = 42500 * 32 + 700;
  AdapterConnection client = Play('1', "Album/01 Title.mp3");
  EXPECT_EQ(client.ReadExact(256), Block(std::to_string(length)));
  AdapterConnection control = Control();
  ASSERT_TRUE(control.Send(ControlBlock("<8", std::to_string(target)) + ControlBlock("<3")));
  ASSERT_TRUE(log_->WaitForLine("Fastforward...."));  // its stream has the control connection
  const auto [announced, whole] = Fetch('1', "Album/01 Title.flac");
  const std::string seeked = client.ReadToClose(kLongReadMs).value_or("");
  EXPECT_EQ(announced, std::to_string(length));
  ASSERT_EQ(int64_t(whole.size()), length);  // the length block's bytes exactly
  for (int64_t at = 0; at < length; at += kMp3FrameBytes) {
    ASSERT_EQ(whole.substr(at, 2), "\xff\xfb") << at;  // nothing that was not converted yet
  }
  // Whole blocks of the song from its start, then the song from the target, which decodes as
  // the song from that time at the next frame.
  ASSERT_GE(int64_t(seeked.size()), length - target);
  const size_t old = seeked.size() - (length - target);
  EXPECT_EQ(old % kBlock, 0u);
  EXPECT_TRUE(seeked.compare(0, old, whole, 0, old) == 0);
  const size_t frame = old + kMp3FrameBytes - target % kMp3FrameBytes;
  EXPECT_EQ(seeked.substr(frame, 2), "\xff\xfb");
  EXPECT_NEAR(ToneAt(media_.path(), seeked.substr(frame)), 1800, 60);
  EXPECT_EQ(log_->Count("Can Not Convert File : " + (audio() / "Album/01 Title.flac").string()), 0);
}

TEST_F(ConvertedPlayTest, PhotosGoAsBaselineJpegsThatFitTheRunsPhotoSizeAndFineJpegsUntouched) {
  // In a folder whose name holds a backslash, which is part of the name, not a separator.
  Make("photo/AC\\DC/pic.png", "testsrc2=s=1200x900", {"-frames:v", "1"});
  Make("photo/big.jpg", "testsrc2=s=1200x900", {"-frames:v", "1"});
  Make("photo/fine.jpg", "testsrc2=s=320x240", {"-frames:v", "1"});
  Make("photo/tall.jpg", "testsrc2=s=400x900", {"-frames:v", "1"});  // too tall only
  Start();
  std::map<std::string, uint32_t> listed = Listed();
  EXPECT_EQ(listed.size(), 4u);
  for (const char* name : {"AC\\DC/pic.jpg", "big.jpg", "tall.jpg"}) {
    const auto [length, jpeg] = Fetch('3', name);
    const JpegShape shape = ShapeOf(jpeg);
    const uint32_t width = name == std::string("tall.jpg") ? 267 : 800;
    EXPECT_TRUE(shape.baseline && shape.width == width && shape.height == 600) << name;
    EXPECT_EQ(jpeg.size(), (std::stoul(length) + 32766) / 32767 * 32767);  // padded chunks
  }
  const std::string fine = Slurp(photo() / "fine.jpg");
  EXPECT_EQ(Fetch('3', "fine.jpg").second.substr(0, fine.size()), fine);
  // Once converted, the listing carries the length that is sent.
  EXPECT_EQ(std::to_string(Listed()["AC\\DC/pic.jpg"]), Fetch('3', "AC\\DC/pic.jpg").first);
  // A receipt kept as text under .jpg and a picture too large to decode: once the background
  // pass has read them, each is left out with a line that says why, and never sent as it is.
  Media("photo/receipt.jpg", "Total: 12.50\n");
  Media("photo/huge.png", PngHeader(20000, 20000));
  EXPECT_TRUE(WaitUntil([&] { return Listed().size() == 4; }));
  EXPECT_EQ(Fetch('3', "receipt.jpg"), std::pair(std::string(), std::string()));
  Listed();
  for (const char* name : {"receipt.jpg", "huge.png"}) {
    const std::string said =
        "Left out of the listing, it cannot be played : " + (photo() / name).string() + " (";
    const std::vector<std::string> lines = log_->AllLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& line) { return line.starts_with(said); }),
              1)
        << name;
  }
}

// A conversion reads the file the server opened and checked, whatever its path leads to later:
// a song swapped for a link out of the media folder while it plays seeks in the song.
TEST_F(ConvertedPlayTest, AConversionReadsTheFileThatWasCheckedWhateverItsPathBecomes) {
  Make("audio/Album/song.flac", "aevalsrc=sin(2*PI*t*if(lt(t\\,20)\\,440\\,1000)):s=44100:d=40",
       {"-ac", "2"});
  Make("outside.flac", "sine=frequency=1600:duration=40", {"-ac", "2"});
  Start();
  AdapterConnection client;
  client.SetReceiveBuffer(16384);
  ASSERT_TRUE(client.Connect(LoopbackAddress(port())) &&
              client.SendBlock(Block("<31Album/song.mp3")));
  ASSERT_TRUE(client.ReadExact(256, kLongReadMs) && client.ReadExact(kBlock, kLongReadMs));
  fs::rename(audio() / "Album/song.flac", audio() / "Album/song.old");
  fs::create_symlink(media_.path() / "outside.flac", audio() / "Album/song.flac");
  AdapterConnection control = Control();
  ASSERT_TRUE(control.Send(ControlBlock("<8", std::to_string(30 * 32000)) + ControlBlock("<3")));
  const std::string rest = client.ReadToClose(kLongReadMs).value_or("");
  ASSERT_GT(rest.size(), 64u * 1024);
  EXPECT_NEAR(ToneAt(media_.path(), rest.substr(rest.size() - 48 * 1024)), 1000, 60);
}

TEST_F(ConvertedPlayTest, WithConversionOffOrAConverterThatFailsAdaptersSeeWhatTheyAlwaysSaw) {
  Make("audio/a.flac", "sine=duration=30", {"-ac", "2"});
  Make("photo/p.png", "testsrc2=s=320x240", {"-frames:v", "1"});
  const std::string mp3 = Media("audio/b.mp3", PatternBytes(100));
  // A settings file of 1,026 bytes: conversion is off, also with the conversions started.
  media_.Write("sv.dat", std::string(1026, '\0'));
  ServerSettings loaded;
  ASSERT_TRUE(LoadSettingsFile((media_.path() / "sv.dat").string(), &loaded).ok());
  settings_.library = loaded.library;
  Start();
  EXPECT_EQ(Listed(), (std::map<std::string, uint32_t>{{"b.mp3", 100}}));
  EXPECT_EQ(Exchange(Block("<31a.flac")), "");
  EXPECT_EQ(Exchange(Block("<33p.jpg")), "");
  EXPECT_EQ(log_->Count("Can Not Open File : " + audio().string() + "\\a.flac"), 1);
  // On, with the song measured by the real converter and then one that crashes: the play
  // announces the length, ends with one line and a clean close, and nobody else notices.
  Stop();
  settings_.library.convert = true;
  Start();
  const int64_t length = Mp3Length(Mp3FramesFor(30 * 44100, 44100));
  ASSERT_TRUE(WaitUntil([&] { return Listed()["a.mp3"] == length; }));
  Stop();
  EndProcessConversions();
  conversion_.converterProgram = (media_.path() / "crash").string();
  media_.Write("crash", "#!/bin/sh\nhead -c 1 >/dev/null\nkill -SEGV $$\n");  // once asked
  fs::permissions(conversion_.converterProgram, fs::perms::owner_all);
  Start();
  EXPECT_EQ(Fetch('1', "a.mp3"), std::pair(std::to_string(length), std::string()));
  EXPECT_TRUE(log_->WaitForLine("Can Not Convert File : " + (audio() / "a.flac").string()));
  EXPECT_EQ(ClientCount(), 0);
  EXPECT_EQ(Fetch('1', "b.mp3").second, mp3);
  // Without its converter a server converts nothing, and says why once.
  Stop();
  EndProcessConversions();
  conversion_.converterProgram = (media_.path() / "gone").string();
  Start();
  EXPECT_EQ(log_->Count("Songs and photos of other formats are not converted: the converter " +
                        conversion_.converterProgram + ": No such file or directory"),
            1);
  EXPECT_EQ(Listed(), (std::map<std::string, uint32_t>{{"b.mp3", 100}}));
}

}  // namespace
}  // namespace rureza::test
