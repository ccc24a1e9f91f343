// FileBlockSender, SendFileBlock and BlockBatch over a socket pair: the peer and the counters
// must see exactly what one SendAll per block gives, also through short or failing calls.
#include <gtest/gtest.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "platform/file.h"
#include "platform/syscalls.h"
#include "server/transfer.h"
#include "support/test_server.h"

namespace rureza {
namespace {

// Per kind of call: the most one call moves, and how many calls succeed before the rest fail.
// Only the test's thread makes these calls.
struct Limit {
  size_t most = SIZE_MAX;
  int ok = INT_MAX;
  int calls = 0;
  bool Fails(size_t& length, int error) {
    length = std::min(length, most);
    if (calls++ < ok) return false;
    errno = error;
    return true;
  }
};
Limit g_file, g_socket, g_sendfile, g_send;  // file-to-pipe, pipe-to-socket splices

ssize_t Splice(int in, loff_t* inOff, int out, loff_t* outOff, size_t length, unsigned flags) {
  struct stat info {};
  bool file = ::fstat(in, &info) == 0 && S_ISREG(info.st_mode);
  if ((file ? g_file : g_socket).Fails(length, file ? EIO : ECONNRESET)) return -1;
  return ::splice(in, inOff, out, outOff, length, flags);
}

class FileBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    a_ = Socket(fds[0]);
    b_ = Socket(fds[1]);
    g_file = g_socket = g_sendfile = g_send = Limit{};
    Sys().splice = Splice;
    Sys().sendfile = [](int out, int in, off_t* offset, size_t count) -> ssize_t {
      return g_sendfile.Fails(count, EIO) ? -1 : ::sendfile(out, in, offset, count);
    };
    Sys().send = [](int fd, const void* data, size_t length, int flags) -> ssize_t {
      return g_send.Fails(length, ECONNRESET) ? -1 : ::send(fd, data, length, flags);
    };
  }
  void TearDown() override { ResetSysCalls(); }

  File UseFile(size_t size) {
    content_ = test::PatternBytes(size);
    path_ = dir_.Write("media.bin", content_).string();
    return File::OpenShared(path_);
  }
  // "taken/sent" for one Take and SendTaken.
  std::string Block(File& file, uint32_t length, uint32_t pad, char c = '\0') {
    int64_t taken = sender_.Take(file, length);
    int32_t sent = taken < 0 ? 0 : sender_.SendTaken(a_, pad, c);
    return std::to_string(taken) + "/" + std::to_string(sent);
  }
  // Everything the peer has been sent so far.
  std::string Received() {
    std::string all;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(b_.fd(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) all.append(buffer, n);
    return all;
  }
  // Send calls and bytes counted since the last call.
  std::string Counted() {
    int32_t calls = Traffic().sendCalls.load();
    uint32_t bytes = Traffic().bytesSent.load();
    std::string counted = std::to_string(calls - calls_) + " " + std::to_string(bytes - bytes_);
    calls_ = calls;
    bytes_ = bytes;
    return counted;
  }
  std::string Part(size_t from, size_t n) const { return content_.substr(from, n); }

  test::TempDir dir_;
  std::string path_, content_;
  Socket a_, b_;
  FileBlockSender sender_;
  int32_t calls_ = Traffic().sendCalls.load();
  uint32_t bytes_ = Traffic().bytesSent.load();
};

TEST_F(FileBlockTest, TakenBlocksCarryTheFileThenThePadOneCountedCallEach) {
  File file = UseFile(100);
  EXPECT_EQ(Block(file, 40, 24, '0'), "40/64");
  EXPECT_EQ(Block(file, 40, 0), "40/40");
  EXPECT_EQ(Block(file, 40, 20), "20/40");  // the end of the file
  EXPECT_EQ(Block(file, 40, 0), "0/0");     // an empty block is still one call
  EXPECT_EQ(Counted(), "4 144");
  EXPECT_EQ(Received(), Part(0, 40) + std::string(24, '0') + Part(40, 60) + std::string(20, '\0'));
}

TEST_F(FileBlockTest, ShortSplicesAreContinuedAndAShrunkFileIsPadded) {
  // Pieces of 700 bytes each take a page of the pipe: it is full long before a block is in.
  for (Limit* limit : {&g_socket, &g_file}) {
    g_file = g_socket = Limit{};
    limit->most = 700;
    File file = UseFile(100000);
    ASSERT_EQ(file.Seek(3), 3);
    EXPECT_EQ(Block(file, 32768, 0), "32768/32768");
    ASSERT_EQ(::truncate(path_.c_str(), 40000), 0);
    EXPECT_EQ(Block(file, 32768, 25539), "7229/32768");
    EXPECT_EQ(Counted(), "2 65536");
    EXPECT_EQ(Received(), Part(3, 39997) + std::string(25539, '\0'));
    EXPECT_GE(limit->calls, 57);
  }
}

TEST_F(FileBlockTest, FailedReadSendsNothingAndFailedSendCountsWhatWentOut) {
  File file = UseFile(40000);
  g_file = {1000, 1};  // part of the block, then EIO
  EXPECT_EQ(Block(file, 32768, 0), "-1/0");
  EXPECT_EQ(Counted(), "0 0");
  g_file.ok = INT_MAX;
  ASSERT_EQ(file.Seek(5000), 5000);
  EXPECT_EQ(Block(file, 100, 0), "100/100");  // not the 1000 bytes of the failed read
  EXPECT_EQ(Received(), Part(5000, 100));

  g_socket = {500, 1};
  EXPECT_EQ(Block(file, 20000, 10, '0'), "20000/-1");
  EXPECT_EQ(Counted(), "2 600");
  g_socket.ok = INT_MAX;
  EXPECT_EQ(Block(file, 100, 0), "100/100");  // whole, nothing of the failed one left
  EXPECT_EQ(Received(), Part(5100, 500) + Part(25100, 100));
}

TEST_F(FileBlockTest, BlocksTakenTogetherCountOneCallEachAlsoWhenASendFails) {
  File file = UseFile(40000);
  ASSERT_EQ(sender_.Take(file, 10000), 10000);
  EXPECT_TRUE(sender_.SendTakenInBlocks(a_, 10000, 4096, 2288, '0', false));
  EXPECT_EQ(Counted(), "3 12288");
  EXPECT_EQ(Received(), Part(0, 10000) + std::string(2288, '0'));
  // The socket takes 5000 bytes, then fails: the first block went out, the second was begun.
  g_socket = {5000, 1};
  ASSERT_EQ(sender_.Take(file, 16384), 16384);
  EXPECT_FALSE(sender_.SendTakenInBlocks(a_, 16384, 4096, 0, '0', true));
  EXPECT_EQ(Counted(), "2 5000");
}

TEST_F(FileBlockTest, FileBlocksGoOutWholeThroughShortSendfilesEndWithTheFileAndFailSafely) {
  g_sendfile.most = 5000;
  File file = UseFile(100000);
  ASSERT_EQ(file.Seek(10), 10);
  EXPECT_EQ(SendFileBlock(a_, file, 32768), 32768);
  EXPECT_EQ(g_sendfile.calls, 7);
  EXPECT_EQ(file.Position(), 10 + 32768);
  ASSERT_EQ(::truncate(path_.c_str(), 40000), 0);
  EXPECT_EQ(SendFileBlock(a_, file, 32768), 40000 - 32778);
  EXPECT_EQ(SendFileBlock(a_, file, 32768), 0);
  EXPECT_EQ(Counted(), "3 39990");
  EXPECT_EQ(Received(), Part(10, 39990));
  b_.Close();  // a send to a closed peer fails without killing the process, and counts
  ASSERT_EQ(file.Seek(0), 0);
  EXPECT_EQ(SendFileBlock(a_, file, 32768), -1);
  EXPECT_EQ(Block(file, 100, 0), "100/-1");
  EXPECT_EQ(Counted(), "2 0");
}

TEST_F(FileBlockTest, SeveralFileBlocksInOneGoCountOneCallEachUpToTheEndOrAFailure) {
  g_sendfile.most = 50000;
  File file = UseFile(200000);
  EXPECT_EQ(SendFileBlock(a_, file, 32768, 3), 3 * 32768);
  EXPECT_EQ(Counted(), "3 98304");
  EXPECT_EQ(Received(), Part(0, 98304));
  ASSERT_EQ(::truncate(path_.c_str(), 98304 + 70000), 0);  // ends inside the third block
  EXPECT_EQ(SendFileBlock(a_, file, 32768, 3), 70000);
  EXPECT_EQ(Counted(), "3 70000");
  EXPECT_EQ(Received(), Part(98304, 70000));
  ASSERT_EQ(file.Seek(0), 0);
  g_sendfile.ok = g_sendfile.calls + 1;  // fails inside the second block
  EXPECT_EQ(SendFileBlock(a_, file, 32768, 3), -1);
  EXPECT_EQ(Counted(), "2 50000");
  EXPECT_EQ(Received(), Part(0, 50000));
}

TEST_F(FileBlockTest, BatchesGoOutTogetherCountingTheBlocksUpToAFailedOne) {
  std::string expected;
  {
    BlockBatch batch(a_);
    for (int i = 0; i < 300; ++i) {
      expected += test::PatternBytes(64, static_cast<size_t>(i));
      ASSERT_TRUE(batch.Add(expected.data() + expected.size() - 64, 64));
    }
    expected += std::string(256, 'e');
    ASSERT_TRUE(batch.Add(expected.data() + expected.size() - 256, 256) && batch.Flush());
  }
  EXPECT_LE(g_send.calls, 3);
  EXPECT_EQ(Counted(), "301 19456");
  EXPECT_EQ(Received(), expected);

  g_send = {64 * 3 + 10, 1};  // three records whole, the fourth begun
  BlockBatch batch(a_);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(batch.Add(expected.data(), 64));
  EXPECT_FALSE(batch.Flush());
  EXPECT_FALSE(batch.Add(expected.data(), 64));
  EXPECT_FALSE(batch.Flush());
  EXPECT_EQ(Counted(), "4 202");
  EXPECT_EQ(Received().size(), 202u);
}

}  // namespace
}  // namespace rureza
