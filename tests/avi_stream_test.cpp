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

  // The 32768-byte buffer a reader fills at offset: bytes past the end of the file keep what
  // the buffer held before, as in the server's buffers.
  const std::string& ReadAt(std::string& buffer, size_t offset) const {
    size_t n = offset < file_.size() ? std::min(kBlock, file_.size() - offset) : 0;
    buffer.replace(0, n, file_, offset, n);
    return buffer;
  }

  // Plays movie.avi up to the probe block, which it checks.
  AdapterClient HandshakeToProbe(size_t size, int64_t probe) {
    file_ = Media("video/movie.avi", test::OffsetBytes(size));
    AdapterClient client = Play('2', "movie.avi");
    std::string buffer(kBlock, '\0'), filesize = FilesizeBlock(int32_t(size));
    std::string header = ReadAt(buffer, 0);
    EXPECT_TRUE(client.ReadExact(3 * 256 + 2 * kBlock) ==
                filesize + header + filesize + header + filesize);
    EXPECT_TRUE(client.SendBlock(std::to_string(probe)));
    if (probe >= 0) {
      EXPECT_TRUE(client.ReadExact(kBlock) == ReadAt(buffer, size_t(probe)));
    }
    return client;
  }

  void FinishHandshake(AdapterClient& client, size_t end, size_t start) {
    movieEnd_ = end;
    EXPECT_TRUE(client.SendBlock(std::to_string(end)) && client.SendBlock(std::to_string(start)));
    EXPECT_EQ(client.ReadExact(256), StartBlock(int32_t(file_.size())));
  }

  // A movie longer than the connection's buffers hold, and its index region.
  AdapterClient PlayLong(size_t movieEnd = 2 << 20) {
    AdapterClient client = HandshakeToProbe(movieEnd + kIndexSize, 0);
    FinishHandshake(client, movieEnd, kStart);
    return client;
  }

  std::string Movie(size_t from, size_t to) const { return file_.substr(from, to - from); }

  // data must be the movie's first whole blocks only.
  void ExpectWholeBlocks(const std::string& data) {
    EXPECT_EQ(data.size() % kBlock, 0u);
    EXPECT_TRUE(data.size() < movieEnd_ - kStart && data == Movie(kStart, kStart + data.size()));
  }

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

  // Sends a command that the control thread answers with a block from offset.
  void ExpectBlock(AdapterClient& control, const std::string& command, size_t offset) {
    ASSERT_TRUE(control.SendRaw(command));
    EXPECT_TRUE(control.ReadExact(kBlock) == ReadAt(own_, offset)) << offset;
  }

  // A keyframe request: number at byte 3, keyframe size at byte 236.
  static std::string Keyframe(const std::string& number, const std::string& size = "") {
    return Command("<K", number).replace(236, size.size(), size);
  }

  std::string file_, own_ = std::string(kBlock, '\0');  // own_: the control thread's buffer
  size_t movieEnd_ = 0;
};

TEST_F(AviStreamTest, HandshakeThenTheMovieDataByteForByte) {
  AdapterClient client = HandshakeToProbe(1000000, 900000);
  FinishHandshake(client, 950000, kStart);
  EXPECT_TRUE(client.ReadToClose() == Movie(kStart, 950000));  // 28 blocks and 30448 bytes
  // Probe offset past the end: the probe block keeps header bytes. movieStart at movieEnd.
  client = HandshakeToProbe(50000, 40000);
  FinishHandshake(client, 16384, 16384);
  EXPECT_TRUE(client.ReadToClose() == Movie(16384, 16384 + kBlock));  // one block
  // A negative probe offset cannot be served.
  client = HandshakeToProbe(50000, -1);
  EXPECT_TRUE(client.ClosedWithoutData());
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
  EXPECT_TRUE(control.ReadExact(kBlock) == ReadAt(own_, kStart + 4 + 10000 + kBlock));
  ExpectBlock(control, Command("<@"), movieEnd_ + 2 * kBlock);  // back where the index was
  ASSERT_TRUE(control.SendRaw(Command("<3")));
  for (int round = 0; round < 2; ++round) {
    for (size_t offset = movieEnd_; offset < file_.size(); offset += kBlock) {
      EXPECT_TRUE(control.ReadExact(kBlock) == ReadAt(own_, offset)) << offset;
    }
    if (round == 0) {
      ASSERT_TRUE(control.SendBlock("6666"));  // resend, then the position to resume at
    }
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

TEST_F(AviStreamTest, StopWhileHeldEndsWithoutSendingMore) {
  AdapterClient client = PlayLong();
  AdapterClient control = Control();
  int64_t replied = Wind(control, '8');
  ASSERT_TRUE(control.SendRaw(Command("<4")));
  std::string data = client.ReadToClose(kLongReadMs).value_or("");
  ExpectWholeBlocks(data);
  // Nothing after the block that was on its way when fast forward came.
  int64_t held = int64_t(kStart + data.size());
  EXPECT_TRUE(held == replied || held == replied + int64_t(kBlock)) << held;
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

TEST_F(AviStreamTest, ControlThreadsEndEndTheStream) {
  // The adapter closes the control connection.
  AdapterClient client = PlayLong();
  Control().Close();
  ASSERT_TRUE(WaitForThreads(kRunThreads + 1));
  ExpectWholeBlocks(client.ReadToClose(kLongReadMs).value_or(""));
  // The control thread cannot open the file (gone since the stream opened it).
  client = HandshakeToProbe((2 << 20) + kIndexSize, 0);
  std::filesystem::remove(video() / "movie.avi");
  FinishHandshake(client, 2 << 20, kStart);
  ASSERT_TRUE(WaitForThreads(kRunThreads + 1));
  ExpectWholeBlocks(client.ReadToClose(kLongReadMs).value_or(""));
  // The server stops while the control thread waits.
  client = PlayLong();
  Stop();
  EXPECT_TRUE(log_->WaitForLine("System Error 2003! Please Contact to Developers!"));
  ExpectWholeBlocks(client.ReadToClose(kLongReadMs).value_or(""));
}

TEST_F(AviStreamTest, FileThatCannotBeOpenedIsLoggedAndNothingIsSent) {
  AdapterClient client = Play('2', "missing.avi");
  EXPECT_TRUE(client.ClosedWithoutData());
  EXPECT_TRUE(log_->WaitForLine("Can Not Open File : " + video().string() + "\\missing.avi"));
}

}  // namespace
}  // namespace rureza
