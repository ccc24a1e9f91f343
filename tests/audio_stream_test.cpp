// Audio streams through the live server: the length block and the file byte for byte, seeks
// steered over the control port, Stop, the server's stop, and files that are not served.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <filesystem>

#include "delivery/stream_blocks.h"
#include "platform/syscalls.h"
#include "server/activity_log.h"
#include "support/stream_test.h"

namespace rureza {
namespace {

using test::AdapterClient;
using test::Command;
using test::kBlock;
using test::kLongReadMs;

// Longer than the connection's buffers hold, so the stream waits while the test does not read;
// the tail (length mod 32768) is 12345 bytes.
constexpr size_t kLong = 6 * 1024 * 1024 + 12345;

class AudioStreamTest : public test::StreamTest {
 protected:
  void TearDown() override {
    test::StreamTest::TearDown();
    ResetSysCalls();
  }

  // Starts the server and plays a long file up to its length block.
  AdapterClient PlayLong() {
    Start();
    song_ = Media("audio/long.mp3", test::OffsetBytes(kLong));
    AdapterClient client = Play('1', "long.mp3");
    EXPECT_EQ(client.ReadExact(256), LengthBlock(int32_t(kLong)));
    return client;
  }

  // Fast forward to target; returns once the control thread has taken it.
  void FastForward(AdapterClient& control, size_t target) {
    ASSERT_TRUE(control.SendRaw(Command("<8", std::to_string(target))));
    ASSERT_TRUE(log_->WaitForLine("Fastforward...."));
  }

  // data must be the file's first whole blocks, then (unless target is 0) all the file from
  // target on.
  void Expect(const std::string& data, size_t target = 0) {
    size_t rest = target ? kLong - target : 0;
    ASSERT_GE(data.size(), rest);
    size_t prefix = data.size() - rest;
    EXPECT_EQ(prefix % kBlock, 0u);
    EXPECT_LT(prefix, kLong);
    EXPECT_TRUE(data == song_.substr(0, prefix) + song_.substr(kLong - rest)) << prefix;
  }

  std::string song_;
};

TEST_F(AudioStreamTest, PlaysTheLengthBlockThenTheFileInBlocksAndTail) {
  Start();
  for (size_t size : {100000, 65536, 1000, 0}) {
    std::string song = Media("audio/song.mp3", test::OffsetBytes(size));
    AdapterClient client = Play('1', "song.mp3");
    EXPECT_TRUE(client.ReadToClose() == LengthBlock(int32_t(size)) + song) << size;
    EXPECT_TRUE(WaitForThreads(kRunThreads));  // the unused control thread gave up too
  }
}

TEST_F(AudioStreamTest, FastForwardHoldsUntilPlayAndThenSendsAllTheRestFromTheTarget) {
  AdapterClient client = PlayLong();
  AdapterClient control = Control();
  ASSERT_TRUE(control.SendRaw(Command(">4")));  // no "<": not a command
  // More is left after the last whole block than the file's own tail.
  const size_t target = kLong - 5 * kBlock - 20000;
  FastForward(control, target);
  std::string before = test::ReadUntilQuiet(client);
  EXPECT_TRUE(before == song_.substr(0, before.size()));
  ASSERT_TRUE(control.SendRaw(Command("<3")));
  Expect(before + client.ReadToClose(kLongReadMs).value_or(""), target);
}

TEST_F(AudioStreamTest, FastForwardIntoTheLastPartialBlockSendsTheTailFromTheTarget) {
  AdapterClient client = PlayLong();
  AdapterClient control = Control();
  FastForward(control, kLong - 1000);
  Expect(client.ReadToClose(kLongReadMs).value_or(""), kLong - 1000);
}

TEST_F(AudioStreamTest, StopFromTheAdapterEndsTheStream) {
  AdapterClient client = PlayLong();
  AdapterClient control = Control();
  ASSERT_TRUE(control.SendRaw(Command("<4")));
  ASSERT_TRUE(WaitForThreads(kRunThreads + 1));  // the control thread ended on Stop
  Expect(client.ReadToClose(kLongReadMs).value_or(""));
}

// Also: a closed control connection ends the control thread, and the stream plays on.
TEST_F(AudioStreamTest, WaitForPlayAlsoEndsOnStopOnTheControlThreadsEndAndOnServerStop) {
  for (int way = 0; way < 3; ++way) {
    AdapterClient client = PlayLong();
    AdapterClient control = Control();
    const size_t target = kLong - 3 * kBlock - 7;
    FastForward(control, target);
    std::string data = test::ReadUntilQuiet(client);
    if (way == 0) control.SendRaw(Command("<4"));
    if (way == 1) control.Close();
    if (way == 2) Stop();
    data += client.ReadToClose(kLongReadMs).value_or("");
    Expect(data, way == 1 ? target : 0);  // without control the stream plays on
    Stop();
    log_->Reset();
  }
}

TEST_F(AudioStreamTest, ServerStopInTheMiddleSendsATailAndEnds) {
  AdapterClient client = PlayLong();
  Stop();
  EXPECT_TRUE(log_->WaitForLine("System Error 2004! Please Contact to Developers!"));
  std::string data = client.ReadToClose(kLongReadMs).value_or("");
  EXPECT_EQ(data.size() % kBlock, kLong % kBlock);
  EXPECT_TRUE(data.size() < kLong && data == song_.substr(0, data.size()));
}

std::atomic<bool> g_failReads{false};

TEST_F(AudioStreamTest, ReadErrorEndsTheStreamThroughItsEndSteps) {
  static decltype(Sys().read) s_real;
  s_real = Sys().read;
  Sys().read = [](int fd, void* buffer, size_t length) -> ssize_t {
    if (!g_failReads.load()) return s_real(fd, buffer, length);
    errno = EIO;
    return -1;
  };
  // The stream's blocks go from the file by sendfile, and its tail by splice: these read too.
  static decltype(Sys().sendfile) s_realSendfile;
  s_realSendfile = Sys().sendfile;
  Sys().sendfile = [](int out, int in, off_t* offset, size_t count) -> ssize_t {
    if (!g_failReads.load()) return s_realSendfile(out, in, offset, count);
    errno = EIO;
    return -1;
  };
  static decltype(Sys().splice) s_realSplice;
  s_realSplice = Sys().splice;
  Sys().splice = [](int in, loff_t* inOffset, int out, loff_t* outOffset, size_t length,
                    unsigned flags) -> ssize_t {
    struct stat info {};
    bool fromFile = ::fstat(in, &info) == 0 && S_ISREG(info.st_mode);
    if (!fromFile || !g_failReads.load()) {
      return s_realSplice(in, inOffset, out, outOffset, length, flags);
    }
    errno = EIO;
    return -1;
  };
  AdapterClient client = PlayLong();
  g_failReads = true;
  Expect(client.ReadToClose(kLongReadMs).value_or(""));  // no tail after the error
  g_failReads = false;
  EXPECT_TRUE(WaitForThreads(kRunThreads));  // and its control thread is gone with it
}

TEST_F(AudioStreamTest, FilesThatCannotBeServedAreLoggedUncountedAndNothingIsSent) {
  Start();
  std::filesystem::create_directories(audio() / "folder.mp3");
  media_.Write("audio/huge.mp3", "");
  std::filesystem::resize_file(audio() / "huge.mp3", uint64_t{1} << 31);  // sparse
  media_.Write("audio/big.mp3", "");
  std::filesystem::resize_file(audio() / "big.mp3", (uint64_t{1} << 31) - 1);
  for (std::string name : {"missing.mp3", "folder.mp3", "huge.mp3"}) {
    int16_t before = LogLineCount();
    AdapterClient client = Play('1', name);
    EXPECT_TRUE(client.ClosedWithoutData());
    EXPECT_TRUE(log_->WaitForLine("Can Not Open File : " + audio().string() + "\\" + name));
    // Connection, path and departure lines are counted; the play line and this one are not.
    EXPECT_TRUE(test::WaitUntil([&] { return LogLineCount() - before == 3; })) << name;
  }
  AdapterClient client = Play('1', "big.mp3");  // the longest file served
  EXPECT_EQ(client.ReadExact(256), LengthBlock(2147483647));
  EXPECT_EQ(client.ReadExact(kBlock), std::string(kBlock, '\0'));
  client.Reset();
  EXPECT_TRUE(WaitForThreads(kRunThreads));
}

}  // namespace
}  // namespace rureza
