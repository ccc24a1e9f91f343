// Videos of other formats as an adapter meets them through a live server: listed as MPEGs in
// their places, estimated, then exact once measured; played over the MPEG path with the true
// tail at the handshake and exactly the planned length; backward steps that re-send what was
// sent, from the cache part or from a ring; two adapters on one conversion; and bad input, a
// source deleted mid-play and a converter that crashes, each ending one play. Fixtures are made
// with the ffmpeg command line: 160x90, a few seconds.
#include <gtest/gtest.h>

#include <map>

#include "adapter/exchange.h"
#include "conversion/conversion_stats.h"
#include "conversion/conversions.h"
#include "conversion/mpeg_layout.h"
#include "conversion/process_conversions.h"
#include "server/server.h"
#include "support/conversion_fixture.h"

namespace rureza::test {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kH264 = {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"};

// The 27 MHz clock of the pack header at offset.
uint64_t PackClockAt(const std::string& stream, size_t offset) {
  const auto b = [&](size_t i) { return uint64_t(uint8_t(stream.at(offset + 4 + i))); };
  const uint64_t base = (b(0) >> 3 & 7) << 30 | (b(0) & 3) << 28 | b(1) << 20 | (b(2) >> 3) << 15 |
                        (b(2) & 3) << 13 | b(3) << 5 | b(4) >> 3;
  return base * 300 + ((b(4) & 3) << 7 | b(5) >> 1);
}

// A plan of that length, found by its duration.
MpegPlan PlanOfLength(int64_t length) {
  MpegPlan plan;
  for (uint64_t ms = 1; ms < 100000; ++ms) {
    if (PlanMpeg(ms, VideoStandard::kPal, &plan).empty() && plan.length == length) return plan;
  }
  ADD_FAILURE() << "no plan of " << length << " bytes";
  return plan;
}

class VideoPlayTest : public ConvertedPlayTest {
 protected:
  // A clip of seconds of a test picture and a tone.
  void Clip(const std::string& path, double seconds, std::vector<std::string> args = kH264) {
    args.insert(args.begin(), {"-f", "lavfi", "-i", "sine=duration=" + std::to_string(seconds)});
    Make("video/" + path, "testsrc2=size=160x90:rate=25:duration=" + std::to_string(seconds), args);
  }
  std::string Path(const std::string& name) const { return (video() / name).string(); }
  // name played over the MPEG path by an adapter that wants the end, the scale value given; the
  // handshake checked against what the listing said: the true tail, the first block twice.
  AdapterConnection Play(const std::string& name, uint32_t listed, const std::string& scale,
                         std::string* first, bool converted = true) {
    AdapterConnection connection;
    EXPECT_TRUE(connection.Connect(LoopbackAddress(port())));
    HandshakeAnswers answers;
    answers.mpegScale = scale;
    answers.listedSize = listed;
    std::string received;
    const Handshake handshake =
        SendRequest(connection, MediaKind::kMpeg, name, answers, &received, kLongReadMs);
    EXPECT_EQ(handshake.error, "") << name;
    EXPECT_EQ(handshake.fileLength, listed) << name;
    *first = handshake.firstBlock;
    if (!converted) return connection;
    const MpegPlan plan = PlanOfLength(listed);
    EXPECT_TRUE(received.substr(received.size() - 2 * kBlock, kBlock) == MpegTail(plan)) << name;
    EXPECT_EQ(first->substr(0, 4), std::string("\0\0\1\xba", 4)) << name;
    return connection;
  }
  // The whole stream as a play sends it.
  std::string Whole(const std::string& name, uint32_t listed) {
    std::string first;
    AdapterConnection connection = Play(name, listed, "0", &first);
    return first + connection.ReadToClose(kLongReadMs).value_or("");
  }
  // The measured length name is listed with.
  uint32_t Measured(const std::string& name, const std::string& source) {
    const int64_t estimate = EstimatedMpegLength(int64_t(fs::file_size(video() / source)),
                                                 StandardOf(settings_.library.videoStandard));
    EXPECT_TRUE(WaitUntil([&] { return Listed()[name] != estimate; }, 30000)) << name;
    return Listed()[name];
  }
  // What a play that steps back (3 blocks a pass) once it has read blocks got.
  std::string StepBack(const std::string& name, uint32_t listed, size_t blocks) {
    std::string first;
    AdapterConnection client = Play(name, listed, "200000", &first);
    std::string data = client.ReadExact(blocks * kBlock, kLongReadMs).value_or("");
    EXPECT_TRUE(Control().Send(ControlBlock("<59")));
    return data + client.ReadToClose(kLongReadMs).value_or("");
  }
  // Every block data holds is the stream's at the offset the adapter counts: forward, then back
  // to the start.
  void ExpectSteppedBack(const std::string& data, const std::string& whole, size_t blocks) {
    std::map<std::string, size_t> index;
    for (size_t at = 0; at + kBlock <= whole.size(); at += kBlock) {
      index[whole.substr(at, kBlock)] = at / kBlock;
    }
    std::vector<size_t> got;
    for (size_t at = 0; at + kBlock <= data.size(); at += kBlock) {
      auto found = index.find(data.substr(at, kBlock));
      got.push_back(found == index.end() ? SIZE_MAX : found->second);
    }
    size_t count = 0;
    while (count < got.size() && got[count] == count + 1) ++count;
    ASSERT_GE(count, blocks);
    std::vector<size_t> expected(got.begin(), got.begin() + long(count));
    for (size_t position = count + 1; position >= 3; position -= 3, count -= 3) {
      for (size_t i = position - 3; i < position; ++i) expected.push_back(i);
      if (count < 3) break;
    }
    EXPECT_EQ(got, expected);
  }
};

TEST_F(VideoPlayTest, VideosAreListedAsMpegsInTheirPlacesExactOnceMeasuredAndLeftOutWhenBad) {
  Clip("b.mp4", 2);
  Clip("A Film.MKV", 1, {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "libopus"});
  Clip("c.avi", 1, {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "libmp3lame"});
  Clip("d.avi", 1, {"-c:v", "mpeg4", "-c:a", "libmp3lame"});  // as the adapter plays it
  Clip("d.mp4", 1);
  Clip("e.mpg", 1, {"-c:v", "mpeg2video", "-c:a", "mp2", "-f", "vob"});
  Clip("e.webm", 1, {"-c:v", "libvpx", "-deadline", "realtime", "-c:a", "libopus"});
  Make("video/sound.mp4", "sine=duration=1", {"-c:a", "aac"});
  Clip("two.mp4", 0.08);                                             // two frames
  const std::string mpg = Media("video/f.mpg", PatternBytes(5000));  // no video at all
  Media("video/zero.mkv", "");
  Media("video/noise.mp4", PatternBytes(100000));
  const std::string cut = Slurp(video() / "b.mp4");
  Media("video/cut.mp4", cut.substr(0, cut.size() / 2));
  Start();
  const auto size = [&](const char* name) { return int64_t(fs::file_size(video() / name)); };
  std::map<std::string, uint32_t> listed = Listed();
  EXPECT_EQ(listed["b.mpg"], EstimatedMpegLength(size("b.mp4"), VideoStandard::kPal));
  EXPECT_EQ(listed["c.avi"], size("c.avi"));  // until it was measured
  // Measured: the size a play sends, in the places of their names; the bad ones left out, why.
  ASSERT_TRUE(WaitUntil([&] { return Listed().count("c.mpg") && Listed().size() == 10; }, 30000));
  listed = Listed();
  EXPECT_EQ(order_,
            (std::vector<std::string>{"A Film.mpg", "b.mpg", "c.mpg", "d.avi", "d.mpg", "e.mpg",
                                      order_[6], "f.mpg", "sound.mpg", "two.mpg"}));
  for (const char* bad : {"zero.mkv", "noise.mp4", "cut.mp4"}) {
    EXPECT_TRUE(log_->WaitFor([&](const std::string& line) {
      return line.starts_with("Left out of the listing, it cannot be played : " + Path(bad) + " (");
    })) << bad;
    EXPECT_EQ(
        Exchange(Block("<34" + std::string(bad).substr(0, std::string(bad).find('.')) + ".mpg")),
        "")
        << bad;
    EXPECT_EQ(log_->Count("Can Not Convert File : " + Path(bad)), 1) << bad;
  }
  EXPECT_TRUE(order_[6].starts_with("e~") && order_[6].ends_with(".mpg")) << order_[6];
  EXPECT_EQ(listed["f.mpg"], 5000u);
  EXPECT_EQ(listed["d.avi"], size("d.avi"));
  std::string first;
  Play("f.mpg", 5000, "0", &first, false).ReadToClose();
  EXPECT_EQ(first, mpg);
  // No picture; two frames; the name of d.mp4, which d.avi, played as it is, leaves to it.
  for (const char* name : {"sound.mpg", "two.mpg", "d.mpg"}) {
    EXPECT_EQ(Whole(name, listed[name]).size(), listed[name]) << name;
  }
  EXPECT_FALSE(log_->WaitFor(  // no video, but listed as it always was
      [&](const std::string& line) { return line.find(": " + Path("f.mpg")) < 100; }, 0));
  // After a restart, from what the store kept.
  Stop();
  EndProcessConversions();
  Start();
  EXPECT_EQ(Listed(), listed);
  const std::string twoSeconds = Whole("b.mpg", listed["b.mpg"]);
  ASSERT_EQ(twoSeconds.size(), listed["b.mpg"]);
  // An adapter reads the end time from the tail's clock.
  const double seconds =
      (PackClockAt(twoSeconds, twoSeconds.size() - kPackSize) - PackClockAt(twoSeconds, 0)) / 27e6;
  EXPECT_NEAR(seconds, 2.0, 1.0);
  EXPECT_GT(seconds, 2.0);
}

// A film that fits the cache steps back through its cache part; one larger than the cache
// through a ring of a second on the disk beside the cache, or, with the cache off, in memory:
// back past what the ring holds, the play's own conversion from the start brings the same bytes.
TEST_F(VideoPlayTest, BackwardStepsReSendWhatWasSentFromTheCachePartOrARing) {
  Clip("film.mp4", 2);
  conversion_.videoSpill = {1, 1, 1 << 20};
  std::string whole;  // the same bytes, however they are kept
  for (const uint64_t cache : {kDefaultCacheBytes, uint64_t{1800000}, uint64_t{0}}) {
    conversion_.cacheBytes = cache;
    Start();
    const uint32_t listed = Measured("film.mpg", "film.mp4");
    const uint64_t started = ProcessConversionStats().started.load();
    const std::string data = StepBack("film.mpg", listed, 30);
    // A ring (2 s) has moved on from the start once its converter is a second ahead of the
    // play; a converter slower than that (a loaded machine) still holds it.
    const uint64_t conversions = ProcessConversionStats().started.load() - started;
    if (cache == kDefaultCacheBytes) {
      EXPECT_EQ(conversions, 1u);
    } else {
      EXPECT_TRUE(conversions == 1 || conversions == 2) << conversions;
    }
    if (whole.empty()) whole = Whole("film.mpg", listed);
    ASSERT_EQ(whole.size(), listed);
    ExpectSteppedBack(data, whole, 30);
    Stop();
    EndProcessConversions();
  }
}

// Two adapters start one film, from the cache part or a ring; the first leaves early, the other
// plays it to its end: one conversion for both.
TEST_F(VideoPlayTest, TwoAdaptersShareOneConversionAndTheFirstMayLeaveEarly) {
  Clip("film.mp4", 2);
  conversion_.videoSpill = {1, 1, 1 << 20};
  std::string earlier;
  for (const uint64_t cache : {uint64_t{0}, kDefaultCacheBytes}) {
    conversion_.cacheBytes = cache;
    Start();
    const uint32_t listed = Measured("film.mpg", "film.mp4");
    const uint64_t started = ProcessConversionStats().started.load();
    std::string first, second;
    AdapterConnection leaving = Play("film.mpg", listed, "0", &first);
    AdapterConnection staying = Play("film.mpg", listed, "0", &second);
    EXPECT_TRUE(leaving.ReadExact(2 * kBlock));
    leaving.Close();
    const std::string whole = second + staying.ReadToClose(kLongReadMs).value_or("");
    EXPECT_EQ(ProcessConversionStats().started.load(), started + 1) << cache;
    EXPECT_EQ(whole.size(), listed);
    EXPECT_TRUE(earlier.empty() || whole == earlier);
    earlier = whole;
    Stop();
    EndProcessConversions();
  }
  // Played whole before, from the cache: the same bytes.
  Start();
  EXPECT_TRUE(Whole("film.mpg", uint32_t(earlier.size())) == earlier);
}

TEST_F(VideoPlayTest, ASourceDeletedMidPlayOrAConverterThatCrashesEndsThatPlayAlone) {
  Clip("long.mp4", 8);
  Clip("short.mp4", 1);
  const std::string plain = Media("video/plain.mpg", PatternBytes(5000));
  Start();
  const uint32_t listed = Measured("long.mpg", "long.mp4");
  Measured("short.mpg", "short.mp4");
  std::string first;
  AdapterConnection client = Play("long.mpg", listed, "0", &first);
  ASSERT_TRUE(client.ReadExact(10 * kBlock, kLongReadMs));
  fs::remove(video() / "long.mp4");
  EXPECT_LT(client.ReadToClose(kLongReadMs).value_or("").size(), listed - 20 * kBlock);
  EXPECT_TRUE(log_->WaitForLine("Can Not Convert File : " + Path("long.mp4")));
  // A converter that crashes once asked: the play ends with nothing sent; the others play on.
  Stop();
  EndProcessConversions();
  conversion_.converterProgram = (media_.path() / "crash").string();
  media_.Write("crash", "#!/bin/sh\nhead -c 1 >/dev/null\nkill -SEGV $$\n");
  fs::permissions(conversion_.converterProgram, fs::perms::owner_all);
  Start();
  EXPECT_EQ(Exchange(Block("<34short.mpg")), "");
  EXPECT_TRUE(log_->WaitForLine("Can Not Convert File : " + Path("short.mp4")));
  EXPECT_EQ(ClientCount(), 0);
  Play("plain.mpg", 5000, "0", &first, false).ReadToClose();
  EXPECT_EQ(first, plain);
}

// The run's TV standard; subtitles from the file beside the video in the locale's language, else
// the one without a language, else none; never a file outside the media folder; none when off.
TEST_F(VideoPlayTest, TheRunsStandardAndSubtitlesBesideTheVideoInTheLocalesLanguageFirst) {
  ::setenv("LC_ALL", "de_DE.UTF-8", 1);
  const std::string text = "1\n00:00:00,000 --> 00:00:00,500\nHallo\n";
  const std::string noise = PatternBytes(4096);  // no text: burns nothing
  Clip("plain.mp4", 0.5);
  for (const char* name : {"de.mp4", "any.mp4", "out.mp4"}) {
    fs::copy_file(video() / "plain.mp4", video() / name);
  }
  Media("video/de.de.srt", text);
  Media("video/de.srt", noise);
  Media("video/any.srt", text);
  Media("video/any.fr.srt", noise);
  Media("outside.srt", text);
  fs::create_symlink(media_.path() / "outside.srt", video() / "out.srt");
  settings_.library.videoStandard = TvStandard::kNtsc;
  Start();
  std::map<std::string, std::string> streams;
  for (const char* name : {"plain", "de", "any", "out"}) {
    const std::string mpg = std::string(name) + ".mpg";
    streams[name] = Whole(mpg, Measured(mpg, std::string(name) + ".mp4"));
  }
  EXPECT_TRUE(streams["out"] == streams["plain"]);
  EXPECT_FALSE(streams["de"] == streams["plain"]);
  EXPECT_FALSE(streams["any"] == streams["plain"]);
  // The sequence header: 720x480.
  const size_t header = streams["plain"].find(std::string("\0\0\1\xb3", 4));
  ASSERT_NE(header, std::string::npos);
  EXPECT_EQ(streams["plain"].substr(header + 4, 3), "\x2d\x01\xe0");
  Stop();
  settings_.library.subtitles = false;
  Start();
  EXPECT_TRUE(Whole("de.mpg", Listed()["de.mpg"]) == streams["plain"]);
}

}  // namespace
}  // namespace rureza::test
