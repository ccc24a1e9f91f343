// Audio streams through the live server: the length block and the file byte for byte, seeks
// steered over the control port, Stop, the server's stop, read errors and refused files.
#include <gtest/gtest.h>
#include <sys/sendfile.h>

#include <atomic>
#include <cerrno>
#include <filesystem>

#include "delivery/stream_blocks.h"
#include "platform/syscalls.h"
#include "server/activity_log.h"
#include "support/delivery_support.h"
#include "support/stream_test.h"

namespace rureza {
namespace {

using test::AdapterClient;
using test::Command;
using test::kBlock;

// Longer than the connection's buffers hold, so the stream waits while the test does not read;
// its tail (length mod 32768) is 12345 bytes.
constexpr size_t kLong = 6 * 1024 * 1024 + 12345;

std::atomic<bool> g_failSendfile{false};

class AudioStreamTest : public test::StreamTest {
 protected:
  void TearDown() override {
    test::StreamTest::TearDown();
    ResetSysCalls();
    test::ResetFileFaults();
  }
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

enum Action { kNothing, kPlay, kStop, kCloseControl, kStopServer, kFailReads };

TEST_F(AudioStreamTest, SeeksStopsAndErrorsEndWithTheRightBytes) {
  // The file's reads can be made to fail (sendfile sends the blocks, a splice the tail).
  test::FailFileReadsAfter(-1);
  Sys().sendfile = [](int out, int in, off_t* offset, size_t count) -> ssize_t {
    if (!g_failSendfile) return ::sendfile(out, in, offset, count);
    errno = EIO;
    return -1;
  };
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
    const std::string song = Media("audio/long.mp3", test::OffsetBytes(kLong));
    AdapterClient client = Play('1', "long.mp3");
    EXPECT_EQ(client.ReadExact(256), LengthBlock(int32_t(kLong)));
    // Without a control connection, the server's stop ends its control thread's wait.
    AdapterClient control = target > 0 || action == kStop ? Control() : AdapterClient();
    ASSERT_TRUE(!control.connected() || control.SendRaw(Command(">4")));  // not a command
    std::string data;
    if (target > 0) {
      ASSERT_TRUE(control.SendRaw(Command("<8", std::to_string(target))));
      ASSERT_TRUE(log_->WaitForLine("Fastforward...."));
      if (action != kNothing) data = test::ReadUntilQuiet(client);
      EXPECT_TRUE(data == song.substr(0, data.size()));
    }
    if (action == kPlay || action == kStop) {
      ASSERT_TRUE(control.SendRaw(Command(action == kPlay ? "<3" : "<4")));
    }
    if (action == kStop && target == 0) {
      EXPECT_TRUE(WaitForThreads(kRunThreads + 1));  // the control thread ended on Stop
    }
    if (action == kCloseControl) control.Close();
    if (action == kStopServer) Stop();
    if (action == kFailReads) {
      test::FailFileReadsAfter(0);
      g_failSendfile = true;
    }
    data += client.ReadToClose(test::kLongReadMs).value_or("");
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
    test::FailFileReadsAfter(-1);
    g_failSendfile = false;
    log_->Reset();
  }
}

TEST_F(AudioStreamTest, FilesThatCannotBeServedAreLoggedUncountedAndNothingIsSent) {
  Start();
  std::filesystem::create_directories(audio() / "folder.mp3");
  test::MakeSparseFile(audio() / "huge.mp3", uint64_t{1} << 31);
  test::MakeSparseFile(audio() / "big.mp3", (uint64_t{1} << 31) - 1);
  for (std::string name : {"missing.mp3", "folder.mp3", "huge.mp3"}) {
    int16_t before = LogLineCount();
    EXPECT_TRUE(Play('1', name).ClosedWithoutData());
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
