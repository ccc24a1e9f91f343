// FileBlockSender and BlockBatch over a socket pair: blocks that come from a file by splice, or
// that are gathered and sent together, must reach the peer and the counters exactly as a
// SendAll per block would, also when the kernel splices less than asked, the file shrinks, a
// read fails or the send fails.
#include <gtest/gtest.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "platform/file.h"
#include "platform/syscalls.h"
#include "server/transfer.h"
#include "support/test_server.h"

namespace rureza {
namespace {

struct Counters {
  uint32_t bytesSent;
  int32_t sendCalls;
  static Counters Now() { return {Traffic().bytesSent.load(), Traffic().sendCalls.load()}; }
};

bool IsRegularFile(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

std::atomic<int> g_splices{0};

class FileBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    a_ = Socket(fds[0]);
    b_ = Socket(fds[1]);
    g_splices = 0;
  }
  void TearDown() override { ResetSysCalls(); }

  File UseFile(const std::string& content) {
    content_ = content;
    path_ = dir_.Write("media.bin", content).string();
    return File::OpenShared(path_);
  }
  // Everything the peer has been sent so far.
  std::string Received() {
    std::string all;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(b_.fd(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) all.append(buffer, n);
    return all;
  }

  test::TempDir dir_;
  std::string path_;
  std::string content_;
  Socket a_, b_;
};

TEST_F(FileBlockTest, BlocksCarryTheFileThenThePadAndCountOneSendCallEach) {
  File file = UseFile(test::PatternBytes(100));
  FileBlockSender sender;
  Counters before = Counters::Now();
  EXPECT_EQ(sender.Take(file, 40), 40);
  EXPECT_EQ(sender.SendTaken(a_, 24, '0'), 64);
  EXPECT_EQ(sender.Take(file, 40), 40);
  EXPECT_EQ(sender.SendTaken(a_, 0, '\0'), 40);
  EXPECT_EQ(sender.Take(file, 40), 20);  // the end of the file
  EXPECT_EQ(sender.SendTaken(a_, 20, '\0'), 40);
  EXPECT_EQ(sender.Take(file, 40), 0);
  EXPECT_EQ(sender.SendTaken(a_, 0, '\0'), 0);  // an empty block is still one call
  Counters after = Counters::Now();
  EXPECT_EQ(after.sendCalls - before.sendCalls, 4);
  EXPECT_EQ(after.bytesSent - before.bytesSent, 144u);
  EXPECT_TRUE(Received() == content_.substr(0, 40) + std::string(24, '0') +
                                content_.substr(40, 60) + std::string(20, '\0'));
}

TEST_F(FileBlockTest, ShortSplicesIntoTheSocketAreContinuedAndCounted) {
  Sys().splice = [](int in, loff_t* inOffset, int out, loff_t* outOffset, size_t length,
                    unsigned flags) -> ssize_t {
    if (IsRegularFile(in)) return ::splice(in, inOffset, out, outOffset, length, flags);
    ++g_splices;
    return ::splice(in, inOffset, out, outOffset, std::min<size_t>(length, 1000), flags);
  };
  File file = UseFile(test::PatternBytes(40000));
  FileBlockSender sender;
  Counters before = Counters::Now();
  ASSERT_EQ(sender.Take(file, 32768), 32768);
  EXPECT_EQ(sender.SendTaken(a_, 0, '\0'), 32768);
  EXPECT_GE(g_splices.load(), 33);
  EXPECT_EQ(Counters::Now().sendCalls - before.sendCalls, 1);
  EXPECT_EQ(Counters::Now().bytesSent - before.bytesSent, 32768u);
  EXPECT_TRUE(Received() == content_.substr(0, 32768));
}

TEST_F(FileBlockTest, FileSplicedInPiecesTooSmallForThePipeIsReadBehindThem) {
  // Each piece takes a page's slot of the pipe: sixteen of them fill it long before a block.
  Sys().splice = [](int in, loff_t* inOffset, int out, loff_t* outOffset, size_t length,
                    unsigned flags) -> ssize_t {
    if (IsRegularFile(in)) ++g_splices;
    return ::splice(in, inOffset, out, outOffset, std::min<size_t>(length, 700), flags);
  };
  File file = UseFile(test::PatternBytes(100000));
  FileBlockSender sender;
  ASSERT_EQ(file.Seek(3), 3);
  for (int block = 0; block < 2; ++block) {
    ASSERT_EQ(sender.Take(file, 32768), 32768);
    EXPECT_EQ(sender.SendTaken(a_, 0, '\0'), 32768);
    EXPECT_TRUE(Received() == content_.substr(3 + 32768 * block, 32768));
  }
  EXPECT_GE(g_splices.load(), 16);  // the pipe was full before the first block was in
}

TEST_F(FileBlockTest, FileThatShrankGivesWhatIsLeftAndThePadFillsTheBlock) {
  File file = UseFile(test::PatternBytes(100000));
  FileBlockSender sender;
  ASSERT_EQ(sender.Take(file, 32768), 32768);
  ASSERT_EQ(sender.SendTaken(a_, 0, '\0'), 32768);
  ASSERT_EQ(::truncate(path_.c_str(), 40000), 0);
  EXPECT_EQ(sender.Take(file, 32768), 40000 - 32768);
  EXPECT_EQ(sender.SendTaken(a_, 32768 - (40000 - 32768), '\0'), 32768);
  EXPECT_TRUE(Received() == content_.substr(0, 40000) + std::string(32768 - (40000 - 32768), '\0'));
}

TEST_F(FileBlockTest, ReadErrorSendsNothingAndLeavesNothingBehindForTheNextBlock) {
  // The first file-to-pipe splice brings part of the block, the second fails.
  Sys().splice = [](int in, loff_t* inOffset, int out, loff_t* outOffset, size_t length,
                    unsigned flags) -> ssize_t {
    if (IsRegularFile(in) && g_splices++ >= 1) {
      errno = EIO;
      return -1;
    }
    return ::splice(in, inOffset, out, outOffset, std::min<size_t>(length, 1000), flags);
  };
  File file = UseFile(test::PatternBytes(40000));
  FileBlockSender sender;
  Counters before = Counters::Now();
  EXPECT_EQ(sender.Take(file, 32768), -1);
  EXPECT_EQ(Counters::Now().sendCalls, before.sendCalls);
  EXPECT_TRUE(Received() == "");

  ResetSysCalls();
  ASSERT_EQ(file.Seek(5000), 5000);
  ASSERT_EQ(sender.Take(file, 100), 100);
  EXPECT_EQ(sender.SendTaken(a_, 0, '\0'), 100);
  EXPECT_TRUE(Received() == content_.substr(5000, 100));  // not the 1000 bytes of the failed read
}

TEST_F(FileBlockTest, FailedSendKeepsItsBytesCountedAndTheNextBlockIsWhole) {
  Sys().splice = [](int in, loff_t* inOffset, int out, loff_t* outOffset, size_t length,
                    unsigned flags) -> ssize_t {
    if (IsRegularFile(in)) return ::splice(in, inOffset, out, outOffset, length, flags);
    if (g_splices++ >= 1) {
      errno = ECONNRESET;
      return -1;
    }
    return ::splice(in, inOffset, out, outOffset, std::min<size_t>(length, 500), flags);
  };
  File file = UseFile(test::PatternBytes(40000));
  FileBlockSender sender;
  Counters before = Counters::Now();
  ASSERT_EQ(sender.Take(file, 32768), 32768);
  EXPECT_EQ(sender.SendTaken(a_, 10, '0'), -1);
  EXPECT_EQ(Counters::Now().sendCalls - before.sendCalls, 1);
  EXPECT_EQ(Counters::Now().bytesSent - before.bytesSent, 500u);

  ResetSysCalls();
  ASSERT_EQ(sender.Take(file, 100), 100);
  EXPECT_EQ(sender.SendTaken(a_, 0, '\0'), 100);
  EXPECT_TRUE(Received() == content_.substr(0, 500) + content_.substr(32768, 100));
}

TEST_F(FileBlockTest, BlocksTakenTogetherCountOneSendCallEachAlsoWhenASendFails) {
  File file = UseFile(test::PatternBytes(40000));
  FileBlockSender sender;
  Counters before = Counters::Now();
  ASSERT_EQ(sender.Take(file, 10000), 10000);
  EXPECT_TRUE(sender.SendTakenInBlocks(a_, 10000, 4096, 2288, '0', false));
  EXPECT_EQ(Counters::Now().sendCalls - before.sendCalls, 3);
  EXPECT_TRUE(Received() == content_.substr(0, 10000) + std::string(2288, '0'));

  // The socket takes 5000 bytes, then fails: the first block went out, the second was begun.
  Sys().splice = [](int in, loff_t* inOffset, int out, loff_t* outOffset, size_t length,
                    unsigned flags) -> ssize_t {
    if (IsRegularFile(in)) return ::splice(in, inOffset, out, outOffset, length, flags);
    if (g_splices++ >= 1) {
      errno = ECONNRESET;
      return -1;
    }
    return ::splice(in, inOffset, out, outOffset, std::min<size_t>(length, 5000), flags);
  };
  before = Counters::Now();
  ASSERT_EQ(sender.Take(file, 16384), 16384);
  EXPECT_FALSE(sender.SendTakenInBlocks(a_, 16384, 4096, 0, '0', true));
  EXPECT_EQ(Counters::Now().sendCalls - before.sendCalls, 2);
  EXPECT_EQ(Counters::Now().bytesSent - before.bytesSent, 5000u);
}

TEST_F(FileBlockTest, SendToAResetPeerFailsWithoutKillingTheProcess) {
  File file = UseFile(test::PatternBytes(40000));
  b_.Close();
  FileBlockSender sender;
  ASSERT_EQ(sender.Take(file, 32768), 32768);
  EXPECT_EQ(sender.SendTaken(a_, 0, '\0'), -1);
}

std::atomic<int> g_sendfiles{0};

TEST_F(FileBlockTest, FileBlockGoesOutWholeThroughShortSendfilesAndCountsOneCall) {
  Sys().sendfile = [](int out, int in, off_t* offset, size_t count) -> ssize_t {
    ++g_sendfiles;
    return ::sendfile(out, in, offset, std::min<size_t>(count, 5000));
  };
  File file = UseFile(test::PatternBytes(100000));
  ASSERT_EQ(file.Seek(10), 10);
  Counters before = Counters::Now();
  EXPECT_EQ(SendFileBlock(a_, file, 32768), 32768);
  EXPECT_EQ(g_sendfiles.load(), 7);
  EXPECT_EQ(Counters::Now().sendCalls - before.sendCalls, 1);
  EXPECT_EQ(Counters::Now().bytesSent - before.bytesSent, 32768u);
  EXPECT_TRUE(Received() == content_.substr(10, 32768));
  EXPECT_EQ(file.Position(), 10 + 32768);
}

TEST_F(FileBlockTest, FileBlockOfAFileThatShrankEndsWithTheFile) {
  File file = UseFile(test::PatternBytes(100000));
  ASSERT_EQ(SendFileBlock(a_, file, 32768), 32768);
  ASSERT_EQ(::truncate(path_.c_str(), 40000), 0);
  Counters before = Counters::Now();
  EXPECT_EQ(SendFileBlock(a_, file, 32768), 40000 - 32768);
  EXPECT_EQ(SendFileBlock(a_, file, 32768), 0);
  EXPECT_EQ(Counters::Now().sendCalls - before.sendCalls, 2);
  EXPECT_TRUE(Received() == content_.substr(0, 40000));
}

TEST_F(FileBlockTest, FileBlockToAResetPeerFailsWithoutKillingTheProcess) {
  File file = UseFile(test::PatternBytes(100000));
  b_.Close();
  Counters before = Counters::Now();
  EXPECT_EQ(SendFileBlock(a_, file, 32768), -1);
  EXPECT_EQ(Counters::Now().sendCalls - before.sendCalls, 1);
}

std::atomic<int> g_sends{0};
std::atomic<size_t> g_sendLimit{0};  // bytes the socket takes before it fails; 0: no limit

TEST_F(FileBlockTest, BatchedBlocksGoOutTogetherAndCountOneSendCallEach) {
  Sys().send = [](int fd, const void* data, size_t length, int flags) -> ssize_t {
    ++g_sends;
    return ::send(fd, data, length, flags);
  };
  std::string expected;
  Counters before = Counters::Now();
  {
    BlockBatch batch(a_);
    for (int i = 0; i < 300; ++i) {
      std::string record = test::PatternBytes(64, static_cast<size_t>(i));
      ASSERT_TRUE(batch.Add(record.data(), 64));
      expected += record;
    }
    ASSERT_TRUE(batch.Add(std::string(256, 'e').data(), 256));
    ASSERT_TRUE(batch.Flush());
  }
  expected += std::string(256, 'e');
  EXPECT_LE(g_sends.load(), 3);
  EXPECT_EQ(Counters::Now().sendCalls - before.sendCalls, 301);
  EXPECT_EQ(Counters::Now().bytesSent - before.bytesSent, expected.size());
  EXPECT_TRUE(Received() == expected);
}

TEST_F(FileBlockTest, BatchThatFailsCountsTheBlocksUpToTheFailedOneAndSendsNoMore) {
  g_sendLimit = 64 * 3 + 10;  // three records whole, the fourth begun
  Sys().send = [](int fd, const void* data, size_t length, int flags) -> ssize_t {
    static size_t sent = 0;
    if (sent >= g_sendLimit) {
      errno = ECONNRESET;
      return -1;
    }
    ssize_t n = ::send(fd, data, std::min(length, g_sendLimit - sent), flags);
    if (n > 0) sent += static_cast<size_t>(n);
    return n;
  };
  Counters before = Counters::Now();
  BlockBatch batch(a_);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(batch.Add(std::string(64, 'r').data(), 64));
  EXPECT_FALSE(batch.Flush());
  EXPECT_FALSE(batch.Add(std::string(64, 'r').data(), 64));
  EXPECT_FALSE(batch.Flush());
  EXPECT_EQ(Counters::Now().sendCalls - before.sendCalls, 4);
  EXPECT_EQ(Counters::Now().bytesSent - before.bytesSent, 64u * 3 + 10);
  EXPECT_EQ(Received().size(), 64u * 3 + 10);
}

}  // namespace
}  // namespace rureza
