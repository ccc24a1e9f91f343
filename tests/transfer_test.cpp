// The transfer primitives with their counters: SendAll/ReceiveAll, and the sender of file
// blocks, which must give the peer and the counters exactly what one SendAll per block gives,
// through short and failing calls.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"
#include "server/transfer.h"
#include "support/faults.h"
#include "support/fixture.h"

namespace rureza::test {
namespace {

// A socket pair and the counters: the test sends on ours_ and reads on peer_.
class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ours_ = Socket(fds[0]);
    peer_ = Socket(fds[1]);
    InstallFaults();
    Counted();
  }
  void TearDown() override { ResetFaults(); }

  File UseFile(size_t size) {
    content_ = PatternBytes(size);
    path_ = dir_.Write("media.bin", content_).string();
    return File::OpenShared(path_);
  }
  // "taken/sent" for one Take and SendTaken.
  std::string Block(File& file, uint32_t length, uint32_t pad, char c = '\0') {
    int64_t taken = sender_.Take(file, length);
    int32_t sent = taken < 0 ? 0 : sender_.SendTaken(ours_, pad, c);
    return std::to_string(taken) + "/" + std::to_string(sent);
  }
  // Everything the peer has been sent so far is want.
  void ExpectReceived(const std::string& want) {
    std::string got = Received();
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
    EXPECT_TRUE(got == want) << got.size() << " bytes, " << want.size() << " wanted, from " << at;
  }
  std::string Received() {
    std::string all;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(peer_.fd(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
      all.append(buffer, size_t(n));
    }
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

  TempDir dir_;
  std::string path_, content_;
  Socket ours_, peer_;
  FileBlockSender sender_;
  int32_t calls_ = 0;
  uint32_t bytes_ = 0;
};

TEST_F(TransferTest, SendAllAndReceiveAllGoOnThroughShortCallsAndCountOneCallEach) {
  const std::string k16 = "0123456789abcdef";
  ShortTransfers(1);
  EXPECT_EQ(SendAll(ours_, k16.data(), 16), 16);
  EXPECT_EQ(SendAll(ours_, k16.data(), 0), 0);  // one call even for nothing
  EXPECT_EQ(Counted(), "2 16");
  std::string buffer(16, '\0');
  const uint32_t received = Traffic().bytesReceived;
  const int32_t receives = Traffic().receiveCalls;
  EXPECT_EQ(ReceiveAll(peer_, buffer.data(), 16), 16);
  EXPECT_EQ(buffer, k16);
  EXPECT_EQ(Traffic().bytesReceived - received, 16u);
  EXPECT_EQ(Traffic().receiveCalls - receives, 1);
  ShortTransfers(0);
  // A failed send keeps the bytes before it counted; a send that moves nothing fails too.
  FailSendsAfter(6, ECONNRESET);
  EXPECT_EQ(SendAll(ours_, k16.data(), 10), -1);
  EXPECT_EQ(SendAll(ours_, k16.data(), 0), -1);  // even nothing is sent, so a dead peer shows
  FailSendsAfter(0, 0);
  EXPECT_EQ(SendAll(ours_, k16.data(), 10), -1);
  EXPECT_EQ(Counted(), "3 6");
  FailSendsAfter(-1, 0);
  Received();
  // A peer that closes: what came is kept; a send to it fails without SIGPIPE.
  ASSERT_EQ(::send(ours_.fd(), "<2", 2, 0), 2);
  ours_.Close();
  EXPECT_EQ(ReceiveAll(peer_, buffer.data(), 256), -1);
  EXPECT_EQ(buffer.substr(0, 2), "<2");
  EXPECT_EQ(SendAll(peer_, std::string(65536, 'x').data(), 65536), -1);
}

// The replies' own tests see the bytes; here the counters, which must end as one SendAll per
// block would leave them also when a read or a send fails part way.
TEST_F(TransferTest, TakenBlocksCountOneCallEachAlsoWhenAReadOrASendFails) {
  File file = UseFile(40000);
  FailFileReadsAfter(1000);  // part of the block, then EIO
  EXPECT_EQ(Block(file, 32768, 0), "-1/0");
  EXPECT_EQ(Counted(), "0 0");
  FailFileReadsAfter(-1);
  ASSERT_EQ(file.Seek(5000), 5000);
  EXPECT_EQ(Block(file, 100, 0), "100/100");  // not the 1000 bytes of the failed read
  ExpectReceived(Part(5000, 100));
  FailSendsAfter(500, ECONNRESET);
  EXPECT_EQ(Block(file, 20000, 10, '0'), "20000/-1");
  EXPECT_EQ(Counted(), "2 600");
  FailSendsAfter(-1, 0);
  EXPECT_EQ(Block(file, 100, 0), "100/100");  // whole, nothing of the failed one left
  ExpectReceived(Part(5100, 500) + Part(25100, 100));
  // Blocks taken together: the first went out, the second was begun.
  ASSERT_EQ(file.Seek(0), 0);
  Counted();
  ASSERT_EQ(sender_.Take(file, 10000), 10000);
  EXPECT_TRUE(sender_.SendTakenInBlocks(ours_, 10000, 4096, 2288, '0', false));
  EXPECT_EQ(Counted(), "3 12288");
  ExpectReceived(Part(0, 10000) + std::string(2288, '0'));
  FailSendsAfter(5000, ECONNRESET);
  ASSERT_EQ(sender_.Take(file, 16384), 16384);
  EXPECT_FALSE(sender_.SendTakenInBlocks(ours_, 16384, 4096, 0, '0', true));
  EXPECT_EQ(Counted(), "2 5000");
  // Blocks sent straight from the file: the one the failure fell in was begun too.
  FailSendsAfter(5000, ECONNRESET);
  ASSERT_EQ(file.Seek(0), 0);
  EXPECT_EQ(SendFileBlock(ours_, file, 4096, 4), -1);
  EXPECT_EQ(Counted(), "2 5000");
}

}  // namespace
}  // namespace rureza::test
