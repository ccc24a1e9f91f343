// Several adapters at once, each from an address of its own, going from song to song while the
// others play converted songs: a control connection reaches the stream its adapter plays now,
// never one that adapter has left, so every seek is heard.
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "adapter/connection.h"
#include "adapter/exchange.h"
#include "conversion/mp3_layout.h"
#include "platform/clock.h"
#include "server/server.h"
#include "server/server_run.h"
#include "support/conversion_fixture.h"
#include "support/faults.h"

namespace rureza::test {
namespace {

namespace fs = std::filesystem;

using SeveralAdaptersTest = ConvertedPlayTest;

AdapterConnection Connect(in_addr from, uint16_t port, int receiveBuffer = 0) {
  AdapterConnection connection;
  connection.SetLocalAddress(from);
  if (receiveBuffer > 0) connection.SetReceiveBuffer(receiveBuffer);
  EXPECT_TRUE(connection.Connect(LoopbackAddress(port)));
  return connection;
}

// Up to most bytes, fewer when the stream ends first; nullopt when it fails or stalls. An
// adapter plays what it reads: this one at most 4 MB/s (a hundred times an MP3's pace), so a
// busy machine that takes up a command a few milliseconds late does not show as a lost seek.
std::optional<std::string> ReadUpToEnd(AdapterConnection& connection, size_t most) {
  std::string data(most, '\0');
  size_t got = 0;
  const auto start = std::chrono::steady_clock::now();
  while (got < most) {
    const ssize_t n =
        connection.Receive(data.data() + got, std::min<size_t>(most - got, kBlock), kLongReadMs);
    if (n == AdapterConnection::kClosed) break;
    if (n < 0) return std::nullopt;
    got += size_t(n);
    std::this_thread::sleep_until(start + std::chrono::microseconds(got / 4));
  }
  data.resize(got);
  return data;
}

// An adapter plays a converted song and leaves it before its conversion has sent a byte; the
// stream is still ending (its converter starts slowly) when the adapter plays a file and steers
// it. The command must reach the file's stream, also when it comes before that stream waits.
TEST_F(SeveralAdaptersTest, AControlConnectionReachesTheStreamItsAdapterPlaysNotOneItLeft) {
  Make("audio/a.flac", "sine=duration=5", {"-ac", "2"});
  const std::string file = Media("audio/b.mp3", OffsetBytes(2 << 20));
  const fs::path slow = media_.Write("slow-convert", std::string("#!/bin/sh\nsleep 2\nexec ") +
                                                         RUREZA_CONVERTER_BINARY + " \"$@\"\n");
  fs::permissions(slow, fs::perms::owner_all);
  conversion_.converterProgram = slow.string();
  Start();
  for (int round = 0; round < 3; ++round) {
    AdapterConnection left = Play('1', "a.mp3");
    ASSERT_TRUE(left.ReadExact(256, kLongReadMs));  // measured by a converter that starts late
    ASSERT_TRUE(WaitUntil([] { return CurrentRun()->HasControlWaiters(); }));
    left.Close();
    // The file, read at a playing pace through a small buffer so that it still streams.
    AdapterConnection client = Connect({htonl(INADDR_LOOPBACK)}, port(), 16384);
    ASSERT_TRUE(client.SendBlock(Block("<31b.mp3")));
    ASSERT_EQ(client.ReadExact(256), Block(std::to_string(file.size())));
    const size_t target = file.size() / 2 + 7;
    AdapterConnection control = Control();
    ASSERT_TRUE(control.Send(ControlBlock("<8", std::to_string(target)) + ControlBlock("<3")));
    // It plays on at a playing pace: a command a loaded machine takes up late still finds most
    // of the file unsent, as it would for an adapter.
    std::string data;
    char chunk[8192];
    for (int reads = 0; reads < 4000; ++reads, SleepMs(5)) {
      const ssize_t n = client.Receive(chunk, sizeof chunk, kLongReadMs);
      if (n <= 0) break;
      data.append(chunk, size_t(n));
    }
    const size_t old = data.size() - std::min(data.size(), file.size() - target);
    EXPECT_EQ(old % kBlock, 0u);
    EXPECT_TRUE(data.compare(0, old, file, 0, old) == 0);
    EXPECT_TRUE(data.compare(old, std::string::npos, file, target) == 0) << "the seek was lost";
  }
  EXPECT_EQ(log_->Count("Fastforward...."), 3);
}

// Two adapters play a song never converted, and the one that started its conversion leaves
// first: the other plays it whole, and the conversion goes on to fill the cache when nobody
// plays it any more (also once the first adapter's thread has ended, 2 s idle).
TEST_F(SeveralAdaptersTest, ASongsConversionOutlivesTheAdaptersThatPlayIt) {
  Make("audio/long.flac", "sine=frequency=440:duration=120", {"-ac", "2"});
  Start();
  const std::string length = std::to_string(Mp3Length(Mp3FramesFor(120 * 44100, 44100)));
  AdapterConnection first = Play('1', "long.mp3");
  ASSERT_EQ(first.ReadExact(256, kLongReadMs), Block(length));
  AdapterConnection second = Play('1', "long.mp3");
  ASSERT_TRUE(second.ReadExact(256, kLongReadMs) && first.ReadExact(kBlock, kLongReadMs));
  first.Close();
  SleepMs(2500);
  const std::string whole = second.ReadToClose(kLongReadMs).value_or("");
  ASSERT_EQ(std::to_string(whole.size()), length);
  for (size_t at = 0; at < whole.size(); at += kMp3FrameBytes) {
    ASSERT_EQ(whole.substr(at, 2), "\xff\xfb") << at;
  }
  second.Close();
  Make("audio/other.flac", "sine=frequency=440:duration=120", {"-ac", "2"});
  AdapterConnection left = Play('1', "other.mp3");
  ASSERT_TRUE(left.ReadExact(256, kLongReadMs) && left.ReadExact(kBlock, kLongReadMs));
  left.Close();
  EXPECT_TRUE(
      WaitUntil([&] { return fs::exists(media_.path() / "cache" / "2.entry"); }, kLongReadMs));
}

// On a busy machine a stream's control thread may begin long after its adapter has opened the
// control connection, later than the grace a connection nobody has claimed gets: the stream has
// claimed it before its first byte, so the command still reaches it.
TEST_F(SeveralAdaptersTest, AControlThreadThatBeginsLateStillGetsItsConnection) {
  InstallFaults();
  const std::string file = Media("audio/b.mp3", OffsetBytes(2 << 20));
  Start();
  AdapterConnection client = Connect({htonl(INADDR_LOOPBACK)}, port(), 16384);
  DelayThreadStart(1, int(ServerRun::kStrayControlGraceMs) + 1000);  // the client's, then this
  ASSERT_TRUE(client.SendBlock(Block("<31b.mp3")));
  ASSERT_EQ(client.ReadExact(256), Block(std::to_string(file.size())));
  AdapterConnection control = Control();
  const size_t target = file.size() / 2 + 7;
  ASSERT_TRUE(control.Send(ControlBlock("<8", std::to_string(target)) + ControlBlock("<3")));
  // Held meanwhile (nothing read), the stream waits for room, as it would for a paused adapter.
  SleepMs(int(ServerRun::kStrayControlGraceMs) + 1500);
  const std::string data = client.ReadToClose(kLongReadMs).value_or("");
  const size_t old = data.size() - std::min(data.size(), file.size() - target);
  EXPECT_EQ(old % kBlock, 0u);
  EXPECT_TRUE(data.compare(0, old, file, 0, old) == 0);
  EXPECT_TRUE(data.compare(old, std::string::npos, file, target) == 0) << "the seek was lost";
  EXPECT_EQ(log_->Count("Fastforward...."), 1);
}

// Six adapters on 127.0.0.10 to 127.0.0.15 each go from song to song: a seek into the last
// third of a converted song (440 Hz before its 60th second, 1000 Hz after), Play in the same
// write, up to 1.5 MB of the song (to its end when the seek is heard, and never beyond 440 Hz
// when it is not), then both connections closed without Stop; now and then a song left right
// after its first block, or a photo between songs.
TEST_F(SeveralAdaptersTest, SixAdaptersGoingFromSongToSongHearEverySeek) {
  constexpr int kSongs = 3, kAdapters = 6;
  const int plays = std::max(2, 5 / kSlowdown);
  for (int n = 1; n <= kSongs; ++n) {
    Make("audio/Album " + std::to_string(n) + "/long" + std::to_string(n) + ".flac",
         "aevalsrc=sin(2*PI*t*if(lt(t\\,60)\\,440\\,1000)):s=44100:d=90", {"-ac", "2"});
  }
  Make("photo/p.png", "testsrc2=s=320x240", {"-frames:v", "1"});
  settings_.clientLimit = 8;
  Start();
  const int64_t length = Mp3Length(Mp3FramesFor(90 * 44100, 44100));
  ASSERT_TRUE(WaitUntil(
      [&] { return Listed()["Album 1/long1.mp3"] == length && Listed().size() == kSongs + 1; },
      kLongReadMs));

  struct Heard {
    std::string tail;  // the last bytes read after the seek
    int64_t target;
    size_t read;  // bytes read after it
  };
  std::mutex heardMutex;
  std::vector<Heard> heard;  // guarded by heardMutex
  std::atomic<int> seeks{0}, failures{0};
  std::vector<std::thread> adapters;
  for (int a = 0; a < kAdapters; ++a) {
    adapters.emplace_back([&, a] {
      const in_addr from{htonl(0x7f00000a + a)};
      for (int p = 0; p < plays; ++p) {
        const int n = 1 + (a + p * 2) % kSongs;
        const std::string name = "Album " + std::to_string(n) + "/long" + std::to_string(n);
        AdapterConnection song = Connect(from, port(), 16384);
        if (!song.SendBlock(Block("<31" + name + ".mp3")) || !song.ReadExact(256, kLongReadMs) ||
            !song.ReadExact(kBlock, kLongReadMs)) {
          ++failures;
          continue;
        }
        if ((a + p) % 4 == 3) continue;  // left right after its first block
        if ((a * 3 + p) % 5 == 4) {
          AdapterConnection photo = Connect(from, port());
          if (!photo.SendBlock(Block("<33p.jpg")) || !photo.ReadToClose(kLongReadMs)) ++failures;
        }
        // 70 to 95 % of the song, at a byte of no frame's start.
        const int64_t target = length * (70 + (a * 7 + p * 11) % 26) / 100 + 101;
        AdapterConnection control = Connect(from, uint16_t(port() + 1));
        if (!control.Send(ControlBlock("<8", std::to_string(target)) + ControlBlock("<3"))) {
          ++failures;
          continue;
        }
        ++seeks;
        const std::optional<std::string> after = ReadUpToEnd(song, 1500 * 1000);
        if (!after || after->size() < 64 * 1024) {
          ++failures;
          continue;
        }
        std::lock_guard<std::mutex> lock(heardMutex);
        heard.push_back({after->substr(after->size() - 48 * 1024), target, after->size()});
      }
    });
  }
  for (std::thread& adapter : adapters) adapter.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(int(heard.size()), seeks.load());
  for (const Heard& h : heard) {
    EXPECT_NEAR(ToneAt(media_.path(), h.tail), 1000, 60)
        << "a seek to " << h.target << " lost (" << h.read << " bytes read after it)";
  }
  EXPECT_TRUE(WaitUntil([&] { return log_->Count("Fastforward....") == seeks.load(); }))
      << log_->Count("Fastforward....") << " of " << seeks.load();
}

}  // namespace
}  // namespace rureza::test
