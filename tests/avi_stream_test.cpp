// AVI streams through the live server: the handshake, the movie data byte for byte, and fast
// forward and backward served on the control connection from the index region and keyframes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "delivery/stream_blocks.h"
#include "support/stream_test.h"

namespace rureza {
namespace {

using test::AdapterClient;
using test::Command;
using test::kBlock;
using test::kLongReadMs;

constexpr size_t kStart = 2048;       // movieStart
constexpr size_t kIndexSize = 80000;  // two whole blocks and a part

class AviStreamTest : public test::StreamTest {
 protected:
  void SetUp() override {
    test::StreamTest::SetUp();
    Start();
  }

  // The block a reader fills at offset: bytes past the end of the file keep what the buffer
  // held before, as in the server's buffers.
  const std::string& ReadAt(std::string& buffer, size_t offset) const {
    size_t n = offset < file_.size() ? std::min(kBlock, file_.size() - offset) : 0;
    return buffer.replace(0, n, file_, offset, n);
  }

  // Plays movie.avi up to the probe block, which it checks.
  AdapterClient Handshake(size_t size, int64_t probe) {
    file_ = Media("video/movie.avi", test::OffsetBytes(size));
    AdapterClient client = Play('2', "movie.avi");
    std::string buffer(kBlock, '\0'), filesize = FilesizeBlock(int32_t(size));
    std::string header = ReadAt(buffer, 0);
    EXPECT_TRUE(client.ReadExact(3 * 256 + 2 * kBlock) ==
                filesize + header + filesize + header + filesize);
    EXPECT_TRUE(client.SendBlock(std::to_string(probe)));
    EXPECT_TRUE(probe < 0 || client.ReadExact(kBlock) == ReadAt(buffer, size_t(probe)));
    return client;
  }
  void Finish(AdapterClient& client, size_t end, size_t start = kStart) {
    movieEnd_ = end;
    EXPECT_TRUE(client.SendBlock(std::to_string(end)) && client.SendBlock(std::to_string(start)));
    EXPECT_EQ(client.ReadExact(256), StartBlock(int32_t(file_.size())));
  }
  // A movie longer than the connection's buffers hold, and its index region.
  AdapterClient PlayLong(size_t movieEnd = 2 << 20) {
    AdapterClient client = Handshake(movieEnd + kIndexSize, 0);
    Finish(client, movieEnd);
    return client;
  }

  std::string Movie(size_t from, size_t to) const { return file_.substr(from, to - from); }

  // Fast forward or backward: checks the position reply and the block from movieEnd; returns
  // the position the reply named.
  int64_t Wind(AdapterClient& control, char command) {
    EXPECT_TRUE(control.SendRaw(Command(std::string("<") + command)));
    std::string reply = control.ReadExact(256).value_or(std::string(256, 'x'));
    size_t digits = reply.find_first_not_of("0123456789", 3);
    EXPECT_TRUE(reply.substr(0, 3) == std::string(3, '\0') && digits > 3 && digits < 250);
    EXPECT_EQ(reply.substr(digits), "ftell" + std::string(256 - digits - 5, '\0'));
    EXPECT_TRUE(control.ReadExact(kBlock) == ReadAt(own_, movieEnd_));
    EXPECT_TRUE(log_->WaitForLine(command == '8' ? "Fastforward...." : "Backforward...."));
    return std::atoll(reply.c_str() + 3);
  }
  // Sends a command (if any) that the control thread answers with the block from offset.
  void ExpectBlock(AdapterClient& control, const std::string& command, size_t offset) {
    ASSERT_TRUE(command.empty() || control.SendRaw(command));
    EXPECT_TRUE(control.ReadExact(kBlock) == ReadAt(own_, offset)) << offset;
  }
  // A keyframe request: number at byte 3, keyframe size at byte 236.
  static std::string Keyframe(const std::string& number, const std::string& size = "") {
    return Command("<K", number).replace(236, size.size(), size);
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

TEST_F(AviStreamTest, HandshakeThenTheMovieDataByteForByte) {
  AdapterClient client = Handshake(1000000, 900000);
  Finish(client, 950000);
  EXPECT_TRUE(client.ReadToClose() == Movie(kStart, 950000));  // 28 blocks and 30448 bytes
  // Probe offset past the end: the probe block keeps header bytes. movieStart at movieEnd.
  client = Handshake(50000, 40000);
  Finish(client, 16384, 16384);
  EXPECT_TRUE(client.ReadToClose() == Movie(16384, 16384 + kBlock));  // one block
  // Neither a negative probe offset nor a file that cannot be opened can be served.
  EXPECT_TRUE(Handshake(50000, -1).ClosedWithoutData());
  EXPECT_TRUE(Play('2', "missing.avi").ClosedWithoutData());
  EXPECT_TRUE(log_->WaitForLine("Can Not Open File : " + video().string() + "\\missing.avi"));
}

TEST_F(AviStreamTest, FastForwardIndexBlocksKeyframesAndPlayWithResend) {
  AdapterClient client = PlayLong(4 << 20);
  AdapterClient control = Control();
  int64_t replied = Wind(control, '8');
  std::string data = test::ReadUntilQuiet(client);
  ExpectBlock(control, Command("<@"), movieEnd_ + kBlock);
  // The first keyframe request only returns to the index; the next one sends the keyframe.
  ASSERT_TRUE(control.SendRaw(Keyframe("10000")));
  ExpectBlock(control, Keyframe("10000", "40000"), kStart + 4 + 10000);
  ExpectBlock(control, "", kStart + 4 + 10000 + kBlock);
  ExpectBlock(control, Command("<@"), movieEnd_ + 2 * kBlock);  // back where the index was
  ASSERT_TRUE(control.SendRaw(Command("<3")));
  for (int round = 0; round < 2; ++round) {
    for (size_t offset = movieEnd_; offset < file_.size(); offset += kBlock) {
      ExpectBlock(control, "", offset);
    }
    ASSERT_TRUE(round == 1 || control.SendBlock("6666"));  // resend, then where to resume
  }
  const size_t resume = (3 << 20) + 3;
  ASSERT_TRUE(control.SendRaw(Command("", std::to_string(resume))));
  EXPECT_TRUE(log_->WaitForLine("Play...."));
  data += client.ReadToClose(kLongReadMs).value_or("");
  ASSERT_GE(data.size(), movieEnd_ - resume);
  int64_t held = int64_t(kStart + data.size() - (movieEnd_ - resume));
  EXPECT_TRUE(held == replied || held == replied + int64_t(kBlock)) << held;
  EXPECT_TRUE(data == Movie(kStart, size_t(held)) + Movie(resume, movieEnd_));
}

TEST_F(AviStreamTest, KeyframeBeforeWindingReturnsToMovieEndAndBackwardWalksTheIndex) {
  AdapterClient client = PlayLong();
  AdapterClient control = Control();
  ASSERT_TRUE(control.SendRaw(Keyframe("0")));
  ExpectBlock(control, Keyframe("0", "100"), kStart + 4);
  ExpectBlock(control, Command("<@"), movieEnd_);
  Wind(control, '9');
  ASSERT_TRUE(control.SendRaw(Keyframe("0")));
  ExpectBlock(control, Command("<@"), movieEnd_ + kBlock);
  ExpectBlock(control, Command("<@"), movieEnd_);
  ASSERT_TRUE(control.SendRaw(Command("<A")));  // Abort
  EXPECT_TRUE(control.ClosedWithoutData());
  EXPECT_TRUE(client.ReadToClose(kLongReadMs));
}

TEST_F(AviStreamTest, StopOrTheControlThreadsEndEndTheStream) {
  for (int way = 0; way < 4; ++way) {
    SCOPED_TRACE(way);
    AdapterClient client = way == 2 ? Handshake((2 << 20) + kIndexSize, 0) : PlayLong();
    AdapterClient control;
    int64_t held = -1;
    if (way == 0) {  // Stop while held: nothing after the block on its way
      control = Control();
      held = Wind(control, '8');
      ASSERT_TRUE(control.SendRaw(Command("<4")));
    } else if (way == 1) {  // the adapter closes the control connection
      Control().Close();
    } else if (way == 2) {  // the control thread cannot open the file, gone since the stream did
      std::filesystem::remove(video() / "movie.avi");
      Finish(client, 2 << 20);
    } else {  // the server stops while the control thread waits
      Stop();
      EXPECT_TRUE(log_->WaitForLine("System Error 2003! Please Contact to Developers!"));
    }
    ASSERT_TRUE(way == 0 || way == 3 || WaitForThreads(kRunThreads + 1));
    ExpectWholeBlocks(client.ReadToClose(kLongReadMs).value_or(""), held);
  }
}

TEST_F(AviStreamTest, StopRightAfterPlayStillEndsTheStream) {
  AdapterClient client = PlayLong(8 << 20);
  AdapterClient control = Control();
  Wind(control, '8');
  std::string data = test::ReadUntilQuiet(client);
  // The stream may take up this resume only after Stop has ended the control thread.
  ASSERT_TRUE(control.SendRaw(Command("<3") + test::Block("0") + Command("<4")));
  EXPECT_EQ(control.ReadToClose(kLongReadMs).value_or("").size(), 3 * kBlock);
  data += client.ReadToClose(kLongReadMs).value_or("");
  EXPECT_LT(data.size(), (movieEnd_ - kStart) / 2);
  EXPECT_TRUE(data == Movie(kStart, kStart + data.size()));
}

}  // namespace
}  // namespace rureza
