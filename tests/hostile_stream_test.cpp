// Hostile adapters while streams run: resets in the middle of every kind of reply and of a
// control exchange, a half-close while the server writes, seek numbers out of every range,
// control blocks of random bytes, control connections that belong to no stream, a seek racing
// a Stop, and files cut short or replaced under a stream. Each case ends with the server
// serving the next ordinary request, no client left and descriptors and threads back at their
// baseline.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>
#include <random>

#include "delivery/decimal.h"
#include "delivery/stream_blocks.h"
#include "platform/thread.h"
#include "server/server.h"
#include "server/transfer.h"
#include "support/delivery_support.h"
#include "support/hostile.h"

namespace rureza {
namespace {

using test::AdapterClient;
using test::Command;
using test::kBlock;
using test::kLongReadMs;
using test::RecordInput;
using test::WaitUntil;

constexpr size_t kNpos = std::string::npos;
// Longer than the connection's buffers hold, so a stream is still running when the test acts.
constexpr size_t kLongSong = 12 * 1024 * 1024 + 12345;

class HostileStreamTest : public test::HostileTest {
 protected:
  // Waits until the connection's client thread and any control thread are gone.
  void ExpectStreamEnded() {
    EXPECT_TRUE(WaitUntil([] { return ClientCount() == 0; }, 60000));
    EXPECT_TRUE(WaitForThreads(kRunThreads));
  }
};

// data: whole blocks of file from its start, then file from `from` on (nothing when from is
// kNpos).
void ExpectBlocksThen(const std::string& file, const std::string& data, size_t from) {
  size_t rest = from == kNpos ? 0 : file.size() - from;
  ASSERT_GE(data.size(), rest);
  size_t prefix = data.size() - rest;
  EXPECT_EQ(prefix % kBlock, 0u);
  EXPECT_LE(prefix, file.size());
  EXPECT_TRUE(data.compare(0, prefix, file, 0, prefix) == 0) << "prefix of " << prefix;
  EXPECT_TRUE(data.compare(prefix, rest, file, from == kNpos ? 0 : from, rest) == 0)
      << "from " << from;
}

TEST_F(HostileStreamTest, PeerResetsDuringTheRequestEveryReplyAndAControlExchange) {
  Media("audio/long.mp3", test::OffsetBytes(kLongSong));
  Media("video/movie.avi", test::OffsetBytes(4 << 20));
  Media("video/movie.mpg", test::OffsetBytes(4 << 20));
  Media("photo/big.jpg", test::PatternBytes(8 << 20));
  test::MakeSparseFile(media_.path() / "fw.bin", 16 << 20);
  SetPathText(&settings_.firmwareFile, (media_.path() / "fw.bin").string());
  Begin();
  auto resetAfter = [&](AdapterClient client, size_t bytes, const std::string& what) {
    EXPECT_TRUE(client.ReadExact(bytes)) << what;
    client.Reset();
    ExpectStreamEnded();
    RecordInput("resets (SO_LINGER 0)", what);
  };
  {
    AdapterClient client;
    ASSERT_TRUE(client.Connect(port()));
    ASSERT_TRUE(client.SendRaw("<31ordin"));
    ASSERT_TRUE(WaitUntil([] { return ClientCount() == 1; }));
    client.Reset();
    ExpectStreamEnded();
    RecordInput("resets (SO_LINGER 0)", "during the request block");
  }
  resetAfter(Play('1', "long.mp3"), 256 + kBlock, "during an audio stream");
  resetAfter(PlayAvi("movie.avi", "0", "3000000", "2048"), kBlock, "during an AVI stream");
  resetAfter(PlayMpeg("movie.mpg", "0"), kBlock, "during an MPEG stream");
  {
    AdapterClient client;
    ASSERT_TRUE(client.Connect(port()) && client.SendBlock("<33big.jpg"));
    resetAfter(std::move(client), 256 + 32767, "during a still image");
  }
  {
    AdapterClient client;
    ASSERT_TRUE(client.Connect(port()) && client.SendBlock("<7"));
    resetAfter(std::move(client), 256 + 4096, "during a firmware image");
  }
  {
    AdapterClient client;
    ASSERT_TRUE(client.Connect(port()) && client.SendBlock("<1"));
    client.Reset();
    ExpectStreamEnded();
    RecordInput("resets (SO_LINGER 0)", "right after a list request");
  }
  // During control exchanges: the AVI control thread sending its position reply and index
  // block, and the audio control thread with half a command block.
  {
    AdapterClient client = PlayAvi("movie.avi", "0", "3000000", "2048");
    AdapterClient control = Control();
    ASSERT_TRUE(control.SendRaw(Command("<8")));
    EXPECT_TRUE(control.ReadExact(256));
    control.Reset();
    EXPECT_TRUE(client.ReadToClose(kLongReadMs));  // without its control the AVI stream ends
    ExpectStreamEnded();
    RecordInput("resets (SO_LINGER 0)", "the AVI control connection during fast forward");
  }
  {
    AdapterClient client = Play('1', "long.mp3");
    AdapterClient control = Control();
    ASSERT_TRUE(control.SendRaw(Command("<8", "12345").substr(0, 100)));
    ASSERT_TRUE(WaitUntil([] { return LiveThreadCount() == kRunThreads + 2; }));
    control.Reset();
    EXPECT_TRUE(WaitUntil([] { return LiveThreadCount() == kRunThreads + 1; }));
    client.Reset();  // the stream played on without its control thread
    ExpectStreamEnded();
    RecordInput("resets (SO_LINGER 0)", "the audio control connection within a command block");
  }
  ExpectRecovered();
}

TEST_F(HostileStreamTest, HalfCloseWhileTheServerWritesStillDeliversEverything) {
  const std::string song = Media("audio/long.mp3", test::OffsetBytes(kLongSong));
  const std::string movie = Media("video/movie.avi", test::OffsetBytes(2 << 20));
  const std::string mpeg = Media("video/movie.mpg", test::OffsetBytes(20 * kBlock));
  const std::string photo = Media("photo/big.jpg", test::PatternBytes(3 << 20));
  Begin();
  AdapterClient client = Play('1', "long.mp3");
  client.ShutdownWrite();
  EXPECT_TRUE(client.ReadToClose(kLongReadMs) == LengthBlock(int32_t(song.size())) + song);
  ExpectStreamEnded();

  ASSERT_TRUE(client.Connect(port()) && client.SendBlock("<33big.jpg"));
  client.ShutdownWrite();
  std::string reply = client.ReadToClose(kLongReadMs).value_or("");
  EXPECT_EQ(reply.size(), 256 + ((photo.size() + 32766) / 32767) * 32767);
  EXPECT_TRUE(reply.compare(256, photo.size(), photo) == 0);
  ExpectStreamEnded();

  client = PlayAvi("movie.avi", "0", "1500000", "2048");
  client.ShutdownWrite();
  EXPECT_TRUE(client.ReadToClose(kLongReadMs) == movie.substr(2048, 1500000 - 2048));
  ExpectStreamEnded();

  client = PlayMpeg("movie.mpg", "0");
  client.ShutdownWrite();
  EXPECT_TRUE(client.ReadToClose(kLongReadMs) == mpeg.substr(kBlock));
  ExpectStreamEnded();
  client.Close();
  for (const char* kind : {"audio", "still image", "AVI", "MPEG"}) {
    RecordInput("half-close while the server writes", kind);
  }
  ExpectRecovered();
}

const std::vector<std::string>& SeekNumbers(size_t length) {
  static const std::vector<std::string> numbers = {
      "-1", "4294967296",           "123456789012345678901234567890", "1e9", " 12", "12abc",
      "",   std::to_string(length), std::to_string(length + 1000)};
  return numbers;
}

TEST_F(HostileStreamTest, AudioSeekNumbersOutOfEveryRange) {
  const std::string song = Media("audio/long.mp3", test::OffsetBytes(kLongSong));
  Begin();
  for (const char* head : {"<8", "<9"}) {
    const bool forward = head[1] == '8';
    const std::string line = forward ? "Fastforward...." : "Backforward....";
    for (const std::string& number : SeekNumbers(song.size())) {
      SCOPED_TRACE(std::string(head) + " \"" + number + "\"");
      AdapterClient client = Play('1', "long.mp3");
      ASSERT_EQ(client.ReadExact(256), LengthBlock(int32_t(song.size())));
      AdapterClient control = Control();
      const int before = log_->Count(line);
      ASSERT_TRUE(control.SendRaw(Command(head, number)));
      ASSERT_TRUE(WaitUntil([&] { return log_->Count(line) > before; }));
      control.SendRaw(Command("<3"));
      // The target wraps like the adapter's 32-bit number; past the end, or back to 0 or
      // beyond 2 GiB, the stream ends instead.
      uint32_t target = static_cast<uint32_t>(ParseSignedDecimal(number.data(), number.size()));
      bool resumes = target < song.size() && (forward || target != 0);
      std::string data = client.ReadToClose(kLongReadMs).value_or("");
      ExpectBlocksThen(song, data, resumes ? target : kNpos);
      control.Close();
      client.Close();
      ExpectStreamEnded();
      RecordInput("seek numbers",
                  std::string(forward ? "fast forward" : "backward") + " to \"" + number + "\"");
    }
  }
  ExpectRecovered();
}

TEST_F(HostileStreamTest, OddNumbersInTheAviAndMpegExchanges) {
  Media("video/movie.avi", test::OffsetBytes(1 << 20));
  Media("video/movie.mpg", test::OffsetBytes(20 * kBlock));
  Begin();
  for (const std::string& number : SeekNumbers(1 << 20)) {
    SCOPED_TRACE("\"" + number + "\"");
    const std::string numeric = number.empty() ? "0" : number;
    for (int slot = 0; slot < 3; ++slot) {
      AdapterClient client = slot == 0   ? PlayAvi("movie.avi", numeric, "800000", "2048")
                             : slot == 1 ? PlayAvi("movie.avi", "0", number, "2048")
                                         : PlayAvi("movie.avi", "0", "800000", number);
      EXPECT_TRUE(client.ReadToClose(kLongReadMs));
      client.Close();
      ExpectStreamEnded();
    }
    // The position the adapter resumes at after asking for the index region again.
    AdapterClient client = PlayAvi("movie.avi", "0", "800000", "2048");
    AdapterClient control = Control();
    std::future<std::string> controlData = test::DrainInBackground(control);
    ASSERT_TRUE(
        control.SendRaw(Command("<8") + Command("<3") + test::Block("6666") + Command("", number)));
    EXPECT_TRUE(client.ReadToClose(kLongReadMs));
    EXPECT_GT(controlData.get().size(), 0u);
    client.Close();
    control.Close();
    ExpectStreamEnded();
    // The MPEG scale value, then backward.
    client = PlayMpeg("movie.mpg", number);
    ASSERT_TRUE(Control().SendRaw(Command("<59")));
    EXPECT_TRUE(client.ReadToClose(kLongReadMs));
    client.Close();
    ExpectStreamEnded();
    for (const char* where : {"AVI probe offset", "AVI movie end", "AVI movie start",
                              "AVI resume position", "MPEG scale value"}) {
      RecordInput("seek numbers", std::string(where) + " \"" + number + "\"");
    }
  }
  ExpectRecovered();
}

// Half the blocks start like a command, the rest are random bytes. Stop and Abort are left to
// chance (a random block), or the first of them would end most rounds early.
std::string RandomBlock(std::mt19937& random) {
  std::string block(256, '\0');
  for (char& c : block) c = static_cast<char>(random());
  if (random() % 2) {
    static const char kCommands[] = "01235678999@@K<>";
    block[0] = '<';
    block[1] = kCommands[random() % (sizeof kCommands - 1)];
  }
  return block;
}

TEST_F(HostileStreamTest, RandomControlBlocksOnEveryStreamKind) {
  Media("audio/long.mp3", test::OffsetBytes(kLongSong));
  Media("video/movie.avi", test::OffsetBytes(4 << 20));
  Media("video/movie.mpg", test::OffsetBytes(100 * kBlock));
  Begin();
  const int blocks = 200 / test::kSlowdown;
  std::mt19937 random(77);
  for (char kind : {'1', '2', '4'}) {
    for (int round = 0; round < 3; ++round) {
      AdapterClient client = kind == '1'   ? Play('1', "long.mp3")
                             : kind == '2' ? PlayAvi("movie.avi", "0", "3000000", "2048")
                                           : PlayMpeg("movie.mpg", "0");
      AdapterClient control = Control();
      // The AVI control thread answers some commands on the control connection.
      std::future<std::string> answers = test::DrainInBackground(control, 30000);
      std::string all;
      for (int i = 0; i < blocks; ++i) all += RandomBlock(random);
      const int32_t readsBefore = Traffic().receiveCalls.load();
      control.SendRaw(all);
      // Whatever the control thread makes of them (it may seek, stop, send keyframes or end
      // the stream), it reads them all or ends; then the adapter goes, and everything ends.
      EXPECT_TRUE(WaitUntil(
          [&] {
            return Traffic().receiveCalls.load() - readsBefore >= blocks ||
                   LiveThreadCount() < kRunThreads + 2;
          },
          30000));
      ::shutdown(control.fd(), SHUT_RDWR);
      answers.get();
      control.Reset();
      client.Reset();
      ExpectStreamEnded();
    }
    RecordInput("random control blocks",
                std::string(kind == '1'   ? "audio"
                            : kind == '2' ? "AVI"
                                          : "MPEG") +
                    " stream",
                3 * blocks);
  }
  ExpectRecovered();
}

TEST_F(HostileStreamTest, ControlConnectionsThatBelongToNoStream) {
  Begin();
  // Opened while no stream waits for one, they wait in the control port's backlog.
  AdapterClient closed = Control();
  ASSERT_TRUE(closed.SendRaw(test::Block(">junk") + test::Block("not a command")));
  closed.Close();
  AdapterClient open = Control();
  EXPECT_TRUE(open.SilentFor(200));
  // The next stream takes the closed one: its control thread ends, and the stream plays on.
  AdapterClient client = Play('1', "ordinary.mp3");
  EXPECT_TRUE(client.ReadToClose() == LengthBlock(int32_t(ordinary().size())) + ordinary());
  ExpectStreamEnded();
  // The stream after it takes the open one and ends it with the stream.
  client = Play('1', "ordinary.mp3");
  EXPECT_TRUE(client.ReadToClose() == LengthBlock(int32_t(ordinary().size())) + ordinary());
  EXPECT_TRUE(open.ClosedWithoutData());
  client.Close();
  open.Close();
  RecordInput("control connections of no stream", "closed after two blocks of junk");
  RecordInput("control connections of no stream", "open and silent");
  ExpectRecovered();
}

TEST_F(HostileStreamTest, SeekRacingAStop) {
  const std::string song = Media("audio/long.mp3", test::OffsetBytes(kLongSong));
  const std::string movie = Media("video/movie.avi", test::OffsetBytes(4 << 20));
  Media("video/movie.mpg", test::OffsetBytes(100 * kBlock));
  Begin();
  const size_t target = song.size() / 2 + 7;
  for (int round = 0; round < 10; ++round) {
    const bool stopFirst = round % 2;
    const std::string seek = Command(round % 4 < 2 ? "<8" : "<9", std::to_string(target));
    AdapterClient client = Play('1', "long.mp3");
    ASSERT_TRUE(client.ReadExact(256));
    AdapterClient control = Control();
    ASSERT_TRUE(control.SendRaw(stopFirst ? Command("<4") + seek : seek + Command("<4")));
    std::string data = client.ReadToClose(kLongReadMs).value_or("");
    // Stopped, with or without the seek taken up first.
    if (data.size() % kBlock == 0) {
      ExpectBlocksThen(song, data, kNpos);
    } else {
      ExpectBlocksThen(song, data, target);
    }
    control.Close();
    client.Close();
    ExpectStreamEnded();
  }
  RecordInput("a seek racing a Stop", "audio: seek and Stop in one write, both orders", 10);
  for (int round = 0; round < 3; ++round) {
    AdapterClient client = PlayAvi("movie.avi", "0", "3000000", "2048");
    AdapterClient control = Control();
    ASSERT_TRUE(control.SendRaw(Command("<8") + Command("<4")));
    std::string data = client.ReadToClose(kLongReadMs).value_or("");
    EXPECT_TRUE(data == movie.substr(2048, data.size()));
    control.Close();
    client.Close();
    ExpectStreamEnded();

    client = PlayMpeg("movie.mpg", "300000");
    control = Control();
    ASSERT_TRUE(control.SendRaw(Command("<59") + Command("<4")));
    EXPECT_TRUE(client.ReadToClose(kLongReadMs));
    control.Close();
    client.Close();
    ExpectStreamEnded();
  }
  RecordInput("a seek racing a Stop", "AVI: fast forward and Stop in one write", 3);
  RecordInput("a seek racing a Stop", "MPEG: backward and Stop in one write", 3);
  ExpectRecovered();
}

TEST_F(HostileStreamTest, FilesCutShortOrReplacedWhileTheyStream) {
  const std::string song = Media("audio/long.mp3", test::OffsetBytes(kLongSong));
  Begin();
  // Cut short: the stream ends; what it sent of the old length is the file's bytes (or, for
  // the block that was being read at the cut, zero bytes).
  for (uint64_t cut : {uint64_t{2} << 20, uint64_t{0}}) {
    Media("audio/long.mp3", song);
    AdapterClient client = Play('1', "long.mp3");
    ASSERT_TRUE(client.ReadExact(256 + (1 << 20)));
    std::filesystem::resize_file(audio() / "long.mp3", cut);
    std::string data = client.ReadToClose(kLongReadMs).value_or("");
    EXPECT_LE(data.size(), song.size());
    size_t same = 0;
    while (same < data.size() && data[same] == song[(1 << 20) + same]) ++same;
    EXPECT_TRUE(same == data.size() || data.find_first_not_of('\0', same) >= same + kBlock);
    client.Close();
    ExpectStreamEnded();
    RecordInput("files cut short or replaced while they stream",
                "audio cut to " + std::to_string(cut) + " bytes");
  }
  // Replaced: the stream goes on with the file it opened.
  Media("audio/long.mp3", song);
  AdapterClient client = Play('1', "long.mp3");
  ASSERT_TRUE(client.ReadExact(256 + (1 << 20)));
  media_.Write("audio/new.mp3", test::PatternBytes(1000));
  std::filesystem::rename(audio() / "new.mp3", audio() / "long.mp3");
  EXPECT_TRUE(client.ReadToClose(kLongReadMs) == song.substr(1 << 20));
  client.Close();
  ExpectStreamEnded();
  RecordInput("files cut short or replaced while they stream", "audio replaced by a new file");

  // AVI and MPEG cut short: both end.
  Media("video/movie.avi", test::OffsetBytes(4 << 20));
  client = PlayAvi("movie.avi", "0", "3000000", "2048");
  ASSERT_TRUE(client.ReadExact(4 * kBlock));
  std::filesystem::resize_file(video() / "movie.avi", 1 << 20);
  EXPECT_TRUE(client.ReadToClose(kLongReadMs));
  client.Close();
  ExpectStreamEnded();
  Media("video/movie.mpg", test::OffsetBytes(100 * kBlock));
  client = PlayMpeg("movie.mpg", "0");
  ASSERT_TRUE(client.ReadExact(4 * kBlock));
  std::filesystem::resize_file(video() / "movie.mpg", 10 * kBlock);
  EXPECT_TRUE(client.ReadToClose(kLongReadMs));
  client.Close();
  ExpectStreamEnded();
  RecordInput("files cut short or replaced while they stream", "AVI cut to 1 MiB");
  RecordInput("files cut short or replaced while they stream", "MPEG cut to 10 blocks");

  // A photo and the firmware image cut short: the reply ends at the cut, never padded with
  // bytes that were not in the file, and the line says why.
  const std::string image = Media("photo/big.jpg", test::PatternBytes(8 << 20));
  ASSERT_TRUE(client.Connect(port()) && client.SendBlock("<33big.jpg"));
  ASSERT_TRUE(client.ReadExact(256 + (1 << 20)));
  std::filesystem::resize_file(photo() / "big.jpg", 2 << 20);
  std::string rest = client.ReadToClose(kLongReadMs).value_or("x");
  EXPECT_TRUE(rest == image.substr(1 << 20, rest.size()));
  EXPECT_TRUE(log_->WaitForLine("Can Not Read File : " + photo().string() + "\\big.jpg"));
  client.Close();
  ExpectStreamEnded();
  RecordInput("files cut short or replaced while they stream", "still image cut to 2 MiB");
  ExpectRecovered();
}

}  // namespace
}  // namespace rureza
