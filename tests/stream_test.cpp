// The three streams steered over the control port: audio seeks, Stop and errors; AVI fast
// forward and backward served from the index region and keyframes; MPEG backward steps and its
// commands; and which stream a control connection reaches.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "delivery/stream_blocks.h"
#include "platform/clock.h"
#include "server/server.h"
#include "server/server_run.h"
#include "support/faults.h"
#include "support/fixture.h"
#include "support/kinds.h"

namespace rureza::test {
namespace {

using StreamTest = ServerTest;

// Longer than the connection's buffers hold, so a stream waits while the test does not read;
// its tail (length mod 32768) is 12345 bytes.
constexpr size_t kLong = 6 * 1024 * 1024 + 12345;

enum Action { kNothing, kPlay, kStop, kCloseControl, kStopServer, kFailReads };

TEST_F(StreamTest, AudioSeeksStopsAndErrorsEndWithTheRightBytes) {
  InstallFaults();
  const size_t near = kLong - 3 * kBlock - 7;
  struct {
    size_t target;  // of a fast forward; 0: none
    Action action;
    size_t from;   // the file from here to its end ends the reply (0: nothing)
    size_t extra;  // the part of a block that follows the whole blocks from the start
  } const cases[] = {
      {0, kStop, 0, 0},
      {0, kStopServer, 0, kLong % kBlock},  // a tail's worth
      {0, kFailReads, 0, 0},
      // Into the last partial block: the tail from the target, at once.
      {kLong - 1000, kNothing, kLong - 1000, 0},
      // Held until Play, then all the rest: more than the file's own tail after the blocks.
      {kLong - 5 * kBlock - 20000, kPlay, kLong - 5 * kBlock - 20000, 0},
      {near, kStop, 0, 0},
      {near, kCloseControl, near, 0},  // without control the stream plays on
      {near, kStopServer, 0, 0}};
  for (const auto& [target, action, from, extra] : cases) {
    SCOPED_TRACE(testing::Message() << target << " " << action);
    Start();
    const std::string song = Media("audio/long.mp3", OffsetBytes(kLong));
    AdapterConnection client = Play('1', "long.mp3");
    EXPECT_EQ(client.ReadExact(256), Block(std::to_string(kLong)));
    // Without a control connection, the server's stop ends its control thread's wait.
    AdapterConnection control = target > 0 || action == kStop ? Control() : AdapterConnection();
    ASSERT_TRUE(!control.connected() || control.Send(ControlBlock(">4")));  // not a command
    std::string data;
    if (target > 0) {
      ASSERT_TRUE(control.Send(ControlBlock("<8", std::to_string(target))));
      ASSERT_TRUE(log_->WaitForLine("Fastforward...."));
      if (action != kNothing) data = ReadUntilQuiet(client);
      EXPECT_TRUE(data == song.substr(0, data.size()));
    }
    if (action == kPlay || action == kStop) {
      ASSERT_TRUE(control.Send(ControlBlock(action == kPlay ? "<3" : "<4")));
    }
    if (action == kStop && target == 0) {
      EXPECT_TRUE(WaitForThreads(kRunThreads + 1));  // the control thread ended on Stop
    }
    if (action == kCloseControl) control.Close();
    if (action == kStopServer) Stop();
    if (action == kFailReads) FailFileReadsAfter(0);
    data += client.ReadToClose(kLongReadMs).value_or("");
    const size_t rest = from ? kLong - from : 0, prefix = data.size() - std::min(rest, data.size());
    EXPECT_EQ(prefix % kBlock, extra);
    EXPECT_LT(prefix, kLong);
    EXPECT_TRUE(data == song.substr(0, prefix) + song.substr(kLong - rest)) << prefix;
    if (action == kStopServer && !control.connected()) {
      EXPECT_TRUE(log_->WaitForLine("System Error 2004! Please Contact to Developers!"));
    }
    // The control thread is gone with the stream.
    EXPECT_TRUE(WaitForThreads(action == kStopServer ? 0 : kRunThreads));
    Stop();
    FailFileReadsAfter(-1);
    log_->Reset();
  }
}

TEST_F(StreamTest, AudioFilesOf2GiBOrMoreAreRefusedWithUncountedLines) {
  Start();
  MakeSparseFile(audio() / "huge.mp3", uint64_t{1} << 31);
  MakeSparseFile(audio() / "big.mp3", (uint64_t{1} << 31) - 1);
  int16_t before = LogLineCount();
  EXPECT_TRUE(Play('1', "huge.mp3").ClosedWithoutData());
  EXPECT_TRUE(log_->WaitForLine("Can Not Open File : " + audio().string() + "\\huge.mp3"));
  // Connection, path and departure lines are counted; the play line and this one are not.
  EXPECT_TRUE(WaitUntil([&] { return LogLineCount() - before == 3; }));
  AdapterConnection client = Play('1', "big.mp3");  // the longest file served
  EXPECT_EQ(client.ReadExact(256 + kBlock), Block("2147483647") + std::string(kBlock, '\0'));
  client.Reset();
  EXPECT_TRUE(WaitForThreads(kRunThreads));
}

// AVI streams: movie data from 2048, the index region from movieEnd to the end of the file.
class AviTest : public ServerTest {
 protected:
  static constexpr size_t kStart = 2048, kIndexSize = 80000;  // two blocks and a part

  void SetUp() override {
    ServerTest::SetUp();
    Start();
  }
  // The block a reader fills at offset: bytes past the end of the file keep what the buffer
  // held before, as in the server's buffers.
  const std::string& ReadAt(std::string& buffer, size_t offset) const {
    size_t n = offset < file_.size() ? std::min(kBlock, file_.size() - offset) : 0;
    return buffer.replace(0, n, file_, offset, n);
  }
  // A movie longer than the connection's buffers hold, and its index region.
  AdapterConnection PlayLong(size_t movieEnd = 2 << 20, bool handshake = true) {
    movieEnd_ = movieEnd;
    file_ = Media("video/movie.avi", OffsetBytes(movieEnd + kIndexSize));
    return handshake ? PlayAvi("movie.avi", "0", std::to_string(movieEnd), "2048")
                     : Play('2', "movie.avi");
  }
  std::string Movie(size_t from, size_t to) const { return file_.substr(from, to - from); }
  // Fast forward or backward: checks the position reply ("%dftell" from byte 3) and the block
  // from movieEnd; returns the position the reply named.
  int64_t Wind(AdapterConnection& control, char command) {
    EXPECT_TRUE(control.Send(ControlBlock(std::string("<") + command)));
    std::string reply = control.ReadExact(256).value_or(std::string(256, 'x'));
    size_t digits = reply.find_first_not_of("0123456789", 3);
    EXPECT_TRUE(reply.substr(0, 3) == std::string(3, '\0') && digits > 3 && digits < 250);
    EXPECT_EQ(reply.substr(digits), "ftell" + std::string(256 - digits - 5, '\0'));
    ExpectBlock(control, "", movieEnd_);
    EXPECT_TRUE(log_->WaitForLine(command == '8' ? "Fastforward...." : "Backforward...."));
    return std::atoll(reply.c_str() + 3);
  }
  // Sends a command (if any) that the control thread answers with the block from offset.
  void ExpectBlock(AdapterConnection& control, const std::string& command, size_t offset) {
    ASSERT_TRUE(command.empty() || control.Send(command));
    EXPECT_TRUE(control.ReadExact(kBlock) == ReadAt(own_, offset)) << offset;
  }
  // A keyframe request: number at byte 3, keyframe size at byte 236.
  static std::string Keyframe(const std::string& number, const std::string& size = "") {
    return ControlBlock("<K", number).replace(236, size.size(), size);
  }
  // The movie's first whole blocks only; held, when given, must be where they end (or one
  // block on, the block on its way when the stream was held).
  void ExpectWholeBlocks(const std::string& data, int64_t held = -1) {
    EXPECT_EQ(data.size() % kBlock, 0u);
    EXPECT_TRUE(data.size() < movieEnd_ - kStart && data == Movie(kStart, kStart + data.size()));
    int64_t end = int64_t(kStart + data.size());
    EXPECT_TRUE(held < 0 || end == held || end == held + int64_t(kBlock)) << end;
  }

  std::string file_, own_ = std::string(kBlock, '\0');  // own_: the control thread's buffer
  size_t movieEnd_ = 0;
};

TEST_F(AviTest, FastForwardIndexBlocksKeyframesAndPlayWithResend) {
  AdapterConnection client = PlayLong(4 << 20);
  AdapterConnection control = Control();
  int64_t replied = Wind(control, '8');
  std::string data = ReadUntilQuiet(client);
  ExpectBlock(control, ControlBlock("<@"), movieEnd_ + kBlock);
  // The first keyframe request only returns to the index; the next one sends the keyframe.
  ASSERT_TRUE(control.Send(Keyframe("10000")));
  ExpectBlock(control, Keyframe("10000", "40000"), kStart + 4 + 10000);
  ExpectBlock(control, "", kStart + 4 + 10000 + kBlock);
  ExpectBlock(control, ControlBlock("<@"), movieEnd_ + 2 * kBlock);  // back where the index was
  ASSERT_TRUE(control.Send(ControlBlock("<3")));
  for (int round = 0; round < 2; ++round) {
    for (size_t offset = movieEnd_; offset < file_.size(); offset += kBlock) {
      ExpectBlock(control, "", offset);
    }
    ASSERT_TRUE(round == 1 || control.SendBlock("6666"));  // resend, then where to resume
  }
  const size_t resume = (3 << 20) + 3;
  ASSERT_TRUE(control.Send(ControlBlock("", std::to_string(resume))));
  EXPECT_TRUE(log_->WaitForLine("Play...."));
  data += client.ReadToClose(kLongReadMs).value_or("");
  ASSERT_GE(data.size(), movieEnd_ - resume);
  int64_t held = int64_t(kStart + data.size() - (movieEnd_ - resume));
  EXPECT_TRUE(held == replied || held == replied + int64_t(kBlock)) << held;
  EXPECT_TRUE(data == Movie(kStart, size_t(held)) + Movie(resume, movieEnd_));
}

TEST_F(AviTest, KeyframeBeforeWindingReturnsToMovieEndAndBackwardWalksTheIndex) {
  AdapterConnection client = PlayLong();
  AdapterConnection control = Control();
  ASSERT_TRUE(control.Send(Keyframe("0")));
  ExpectBlock(control, Keyframe("0", "100"), kStart + 4);
  ExpectBlock(control, ControlBlock("<@"), movieEnd_);
  Wind(control, '9');
  ASSERT_TRUE(control.Send(Keyframe("0")));
  ExpectBlock(control, ControlBlock("<@"), movieEnd_ + kBlock);
  ExpectBlock(control, ControlBlock("<@"), movieEnd_);
  ASSERT_TRUE(control.Send(ControlBlock("<A")));  // Abort
  EXPECT_TRUE(control.ClosedWithoutData());
  EXPECT_TRUE(client.ReadToClose(kLongReadMs));
}

TEST_F(AviTest, StopOrTheControlThreadsEndEndTheStream) {
  for (int way = 0; way < 4; ++way) {
    SCOPED_TRACE(way);
    AdapterConnection client = PlayLong(2 << 20, way != 2);
    AdapterConnection control;
    int64_t held = -1;
    if (way == 0) {  // Stop while held: nothing after the block on its way
      control = Control();
      held = Wind(control, '8');
      ASSERT_TRUE(control.Send(ControlBlock("<4")));
    } else if (way == 1) {  // the adapter closes the control connection its stream waits for
      ASSERT_TRUE(WaitUntil([] { return CurrentRun()->HasControlWaiters(); }));
      Control().Close();
    } else if (way == 2) {  // the control thread cannot open the file, gone since the stream did
      ASSERT_TRUE(client.ReadExact(3 * 256 + 2 * kBlock) && client.SendBlock("0"));
      ASSERT_TRUE(client.ReadExact(kBlock));
      std::filesystem::remove(video() / "movie.avi");
      ASSERT_TRUE(client.SendBlock(std::to_string(movieEnd_)) && client.SendBlock("2048"));
      ASSERT_TRUE(client.ReadExact(256));
    } else {  // the server stops while the control thread waits
      Stop();
      EXPECT_TRUE(log_->WaitForLine("System Error 2003! Please Contact to Developers!"));
    }
    ASSERT_TRUE(way == 0 || way == 3 || WaitForThreads(kRunThreads + 1));
    ExpectWholeBlocks(client.ReadToClose(kLongReadMs).value_or(""), held);
  }
}

TEST_F(AviTest, StopRightAfterPlayStillEndsTheStream) {
  AdapterConnection client = PlayLong(8 << 20);
  AdapterConnection control = Control();
  Wind(control, '8');
  std::string data = ReadUntilQuiet(client);
  // The stream may take up this resume only after Stop has ended the control thread.
  ASSERT_TRUE(control.Send(ControlBlock("<3") + Block("0") + ControlBlock("<4")));
  EXPECT_EQ(control.ReadToClose(kLongReadMs).value_or("").size(), 3 * kBlock);
  data += client.ReadToClose(kLongReadMs).value_or("");
  EXPECT_LT(data.size(), (movieEnd_ - kStart) / 2);
  EXPECT_TRUE(data == Movie(kStart, kStart + data.size()));
}

// MPEG streams of whole blocks, through the handshake of an adapter that wants the end.
class MpegTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    Start();
  }
  AdapterConnection PlayMovie(size_t blocks, const std::string& scale) {
    file_ = Media("video/movie.mpg", OffsetBytes(blocks * kBlock));
    return PlayMpeg("movie.mpg", scale);
  }
  // Which whole blocks of the file data carries, in order.
  std::vector<size_t> Blocks(const std::string& data) {
    std::vector<size_t> blocks;
    EXPECT_EQ(data.size() % kBlock, 0u);
    for (size_t at = 0; at + kBlock <= data.size(); at += kBlock) {
      size_t offset = 0;
      for (int i = 3; i >= 0; --i) offset = offset << 8 | uint8_t(data[at + size_t(i)]);
      size_t index = offset / kBlock;
      EXPECT_TRUE(data.compare(at, kBlock, file_, index * kBlock, kBlock) == 0) << at;
      blocks.push_back(index);
    }
    return blocks;
  }
  std::string file_;
};

TEST_F(MpegTest, WithoutAnEndTheStreamEndsWhenTheAdapterHangsUp) {
  for (bool reset : {false, true}) {
    file_ = Media("video/movie.mpg", OffsetBytes(100000));
    AdapterConnection client = Play('4', "movie.mpg");
    ASSERT_TRUE(client.ReadExact(256 + kBlock) && client.SendBlock("0"));  // no end wanted
    EXPECT_TRUE(client.ReadExact(kBlock) == file_.substr(0, kBlock));
    ASSERT_TRUE(client.SendBlock("0"));
    EXPECT_TRUE(client.ReadExact(100000 - kBlock) == file_.substr(kBlock));
    EXPECT_TRUE(client.SilentFor(100));  // empty sends only
    reset ? client.Reset() : client.Close();
    EXPECT_TRUE(WaitUntil([] { return ClientCount() == 0; })) << reset;
    EXPECT_TRUE(WaitForThreads(kRunThreads));
  }
}

TEST_F(MpegTest, BackwardSendsTheStepsBlocksBeforeThePosition) {
  AdapterConnection client = PlayMovie(40, "200000");  // step 3
  std::string data = client.ReadExact(10 * kBlock).value_or("");
  // Unread, the stream soon waits for the connection: it cannot reach its end meanwhile.
  ASSERT_TRUE(Control().Send(ControlBlock("<59")));
  ASSERT_TRUE(log_->WaitForLine("Backforward...."));
  std::vector<size_t> blocks = Blocks(data + client.ReadToClose().value_or(""));
  size_t count = 0;  // forward passes: blocks 1, 2, ...
  while (count < blocks.size() && blocks[count] == count + 1) ++count;
  ASSERT_GE(count, 10u);
  // Each backward pass sends the 3 blocks before the position (one ahead of the count). A step
  // past the file's start ends the stream, as does a count at 0 or below 0 (then the final
  // step sends nothing, the file being whole blocks).
  std::vector<size_t> expected(blocks.begin(), blocks.begin() + long(count));
  for (size_t position = count + 1; position >= 3; position -= 3, count -= 3) {
    for (size_t i = position - 3; i < position; ++i) expected.push_back(i);
    if (count < 3) break;
  }
  EXPECT_EQ(blocks, expected);

  // A step longer than the file holds ends the stream at once.
  client = PlayMovie(100, "2900000");  // step 231
  data = client.ReadExact(5 * kBlock).value_or("");
  ASSERT_TRUE(Control().Send(ControlBlock("<59")));
  ASSERT_TRUE(WaitUntil([&] { return log_->Count("Backforward....") == 2; }));
  blocks = Blocks(data + client.ReadToClose().value_or(""));
  for (size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(blocks[i], i + 1);
  EXPECT_LT(blocks.size(), 99u);
}

TEST_F(MpegTest, CommandsTheirLogLinesStopAndTheServersStop) {
  AdapterConnection client = PlayMovie(200, "0");
  ASSERT_TRUE(client.ReadExact(10 * kBlock));
  AdapterConnection control = Control();
  ASSERT_TRUE(control.Send(ControlBlock("<3") +   // Play while forward: nothing
                           ControlBlock("<57") +  // unknown direction: dropped
                           ControlBlock(">7") +   // not a command block
                           ControlBlock("<7") + ControlBlock("<58") + ControlBlock("<8") +
                           ControlBlock("<59") +
                           ControlBlock("<59") +  // repeated backward: ignored, reading goes on
                           ControlBlock("<3") + ControlBlock("<4")));
  EXPECT_TRUE(control.ClosedWithoutData());  // Stop ended the stream
  EXPECT_TRUE(client.ReadToClose());
  std::vector<std::string> lines = log_->AllLines();
  std::erase_if(lines, [](const std::string& line) { return line.find("...") > 15; });
  EXPECT_EQ(lines, (std::vector<std::string>{"Unknow command...", "Fastforward....",
                                             "Unknow command...", "Backforward....", "Play...."}));
  client = PlayMovie(100, "0");
  Stop();
  EXPECT_TRUE(log_->WaitForLine("System Error 2004! Please Contact to Developers!"));
  EXPECT_LT(client.ReadToClose().value_or(std::string(100 * kBlock, 'x')).size(), 99 * kBlock);
}

TEST(BackwardStepTest, GrowsWithTheScaleValueStepByStep) {
  const std::pair<uint32_t, uint32_t> steps[] = {
      {199999, 1},    {200000, 3},    {399999, 5},          {400000, 11},   {899999, 23},
      {900000, 35},   {1150000, 43},  {1400000, 69},        {1900000, 113}, {2400000, 167},
      {2899999, 195}, {2900000, 231}, {4294967295u, 343591}};
  for (const auto& [scale, step] : steps) EXPECT_EQ(BackwardStep(scale), step) << scale;
}

TEST_F(StreamTest, ControlConnectionsGoToTheStreamsInOrderAndNeverToAnEndedOne) {
  Start();
  Media("audio/short.mp3", OffsetBytes(1000));
  std::string song = Media("audio/long.mp3", OffsetBytes(6 << 20));
  EXPECT_TRUE(Play('1', "short.mp3").ReadToClose());
  ASSERT_TRUE(WaitForThreads(kRunThreads));  // its control thread gave up with it

  AdapterConnection first = Play('1', "long.mp3");
  ASSERT_TRUE(first.ReadExact(256));
  ASSERT_TRUE(WaitUntil([] { return CurrentRun()->HasControlWaiters(); }));
  AdapterConnection second = Play('1', "long.mp3");
  ASSERT_TRUE(second.ReadExact(256));
  ASSERT_TRUE(WaitForThreads(kRunThreads + 4));  // both streams and their control threads
  for (AdapterConnection* client : {&first, &second}) {
    // The stream waiting longest takes the connection and stops; the other plays on.
    ASSERT_TRUE(Control().Send(ControlBlock("<4")));
    ASSERT_TRUE(WaitForThreads(client == &first ? kRunThreads + 3 : kRunThreads + 1));
    EXPECT_LT(client->ReadToClose(kLongReadMs).value_or(song).size(), song.size());
  }
}

// Where the kernel will not bound what waits unsent, a stream runs as it always did, and the log
// says so once.
TEST_F(StreamTest, WhereTheKernelRefusesTheBoundStreamsRunAsBeforeAndTheLogSaysSoOnce) {
  RefuseSocketOptions(ENOPROTOOPT);
  Start();
  const std::string song = Media("audio/song.mp3", OffsetBytes(20 * kBlock + 5));
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(Play('1', "song.mp3").ReadToClose() == Block(std::to_string(song.size())) + song);
  }
  EXPECT_EQ(log_->Count("Streams are not kept to their adapters' pace on this system "
                        "(TCP_NOTSENT_LOWAT: Protocol not available)"),
            1);
}

// An adapter with a small receive buffer plays its stream at a fixed pace (8 KiB every 25 ms),
// then seeks, resumes far ahead after a fast forward, or steps backward: what it reads of the
// old position before the new one is a fraction of a second of its pace, not the megabytes the
// kernel would queue ahead of it. Files of words that hold their own offsets show the jump.
TEST_F(StreamTest, ASlowAdapterHearsLittleOfTheOldPositionAfterItSteers) {
  Start();
  const size_t size = 16 << 20;
  const std::string far = std::to_string(12 << 20);  // beyond where the old position gets
  auto word = [](const std::string& bytes, size_t at) {
    uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
  };
  // Each kind at 320 KB/s for a second, and an MP3 at its own pace (256 kbit/s) for longer:
  // passes a second apart must not make the pace swing past what the adapter reads (it takes
  // a few seconds of such passes to swing).
  struct {
    char kind;
    size_t read;
    int everyMs, reads;
  } const cases[] = {
      {'a', 8192, 25, 40}, {'v', 8192, 25, 40}, {'m', 8192, 25, 40}, {'a', 4096, 125, 48}};
  for (const auto& [kind, read, everyMs, reads] : cases) {
    SCOPED_TRACE(KindName(kind) + " at " + std::to_string(read * 1000 / everyMs) + " B/s");
    Media(KindFile(kind), OffsetBytes(size));
    AdapterConnection client;
    client.SetReceiveBuffer(16384);
    ASSERT_TRUE(client.Connect(LoopbackAddress(port())));
    HandshakeAnswers answers = FairAnswers(kind, size);
    ASSERT_EQ(SendRequest(client, KindOf(kind), KindRequestName(kind), answers).error, "");
    ASSERT_TRUE(kind != 'a' || client.ReadExact(256));
    AdapterConnection control = Control();
    std::string played;
    for (int i = 0; i < reads; ++i, SleepMs(everyMs)) played += client.ReadExact(read).value_or("");
    ASSERT_EQ(played.size(), reads * read);
    if (kind != 'v') {
      ASSERT_TRUE(control.Send(kind == 'a' ? ControlBlock("<8", far) + ControlBlock("<3")
                                           : ControlBlock("<59")));
    } else {  // the index region around the resend code, then where to resume
      ASSERT_TRUE(control.Send(ControlBlock("<8")) && control.ReadExact(256 + kBlock));
      ASSERT_TRUE(control.Send(ControlBlock("<3")) && control.ReadExact(2 * kBlock));
      ASSERT_TRUE(control.SendBlock("6666") && control.ReadExact(2 * kBlock));
      ASSERT_TRUE(control.Send(ControlBlock("", far)));
    }
    // It plays on at its pace: a server slow to take the command up on a busy machine costs
    // it that delay's worth of its pace, as it would cost a real adapter, not what a reader
    // draining the connection would take meanwhile.
    uint32_t last = word(played, played.size() - 4);
    size_t old = 0;
    for (size_t at = read; at == read && old <= 4 * kBlock; SleepMs(everyMs)) {
      std::optional<std::string> more = client.ReadExact(read);
      ASSERT_TRUE(more);
      for (at = 0; at < read && word(*more, at) == last + 4; at += 4) last += 4;
      old += at;
    }
    EXPECT_LE(old, 4 * kBlock);
    ASSERT_TRUE(control.Send(ControlBlock("<4")));
    client.Close();
    ASSERT_TRUE(WaitForThreads(kRunThreads));
  }
}

}  // namespace
}  // namespace rureza::test
