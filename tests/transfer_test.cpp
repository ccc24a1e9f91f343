// SendAll and ReceiveAll over a socket pair, with the kernel's answers replaced where a test
// needs a short transfer, an interruption or a failure.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "platform/syscalls.h"
#include "server/transfer.h"

namespace rureza {
namespace {

struct Pair {
  Socket a, b;
  Pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      a = Socket(fds[0]);
      b = Socket(fds[1]);
    }
  }
};

struct Counters {
  uint32_t bytesSent, bytesReceived;
  int32_t sendCalls, receiveCalls;
  static Counters Now() {
    TrafficCounters& t = Traffic();
    return {t.bytesSent.load(), t.bytesReceived.load(), t.sendCalls.load(), t.receiveCalls.load()};
  }
};

std::atomic<int> g_calls{0};
std::atomic<int> g_failAfter{0};

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls = 0;
    g_failAfter = 0;
  }
  void TearDown() override { ResetSysCalls(); }
};

TEST_F(TransferTest, ZeroLengthSendMakesOneCallAndCountsIt) {
  Pair pair;
  Counters before = Counters::Now();
  Sys().send = [](int fd, const void* b, size_t n, int flags) {
    ++g_calls;
    return ::send(fd, b, n, flags);
  };
  EXPECT_EQ(SendAll(pair.a, "", 0), 0);
  Counters after = Counters::Now();
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(after.sendCalls - before.sendCalls, 1);
  EXPECT_EQ(after.bytesSent, before.bytesSent);
}

TEST_F(TransferTest, ShortAndInterruptedTransfersAreContinued) {
  Pair pair;
  // One byte per call, with an interruption before every other call.
  Sys().send = [](int fd, const void* b, size_t n, int flags) -> ssize_t {
    if (++g_calls % 2 == 0) {
      errno = EINTR;
      return -1;
    }
    return ::send(fd, b, n > 0 ? 1 : 0, flags);
  };
  Sys().recv = [](int fd, void* b, size_t n, int flags) -> ssize_t {
    if (++g_calls % 2 == 0) {
      errno = EINTR;
      return -1;
    }
    return ::recv(fd, b, n > 0 ? 1 : 0, flags);
  };
  Counters before = Counters::Now();
  std::string data = "0123456789abcdef";
  EXPECT_EQ(SendAll(pair.a, data.data(), static_cast<uint32_t>(data.size())), 16);
  char received[16] = {};
  EXPECT_EQ(ReceiveAll(pair.b, received, sizeof received), 16);
  EXPECT_EQ(std::string(received, 16), data);
  Counters after = Counters::Now();
  EXPECT_EQ(after.bytesSent - before.bytesSent, 16u);
  EXPECT_EQ(after.bytesReceived - before.bytesReceived, 16u);
  EXPECT_EQ(after.sendCalls - before.sendCalls, 1);
  EXPECT_EQ(after.receiveCalls - before.receiveCalls, 1);
}

TEST_F(TransferTest, FailureAfterPartialSendKeepsEarlierBytesCounted) {
  Pair pair;
  g_failAfter = 3;
  Sys().send = [](int fd, const void* b, size_t n, int flags) -> ssize_t {
    if (++g_calls > g_failAfter) {
      errno = ECONNRESET;
      return -1;
    }
    return ::send(fd, b, n > 0 ? 2 : 0, flags);
  };
  Counters before = Counters::Now();
  EXPECT_EQ(SendAll(pair.a, "abcdefghij", 10), -1);
  EXPECT_EQ(Counters::Now().bytesSent - before.bytesSent, 6u);
}

TEST_F(TransferTest, ReceiveEndsWhenThePeerClosesAndKeepsWhatArrived) {
  Pair pair;
  ASSERT_EQ(::send(pair.a.fd(), "<2", 2, 0), 2);
  pair.a.Close();
  Counters before = Counters::Now();
  char block[256] = {};
  EXPECT_EQ(ReceiveAll(pair.b, block, sizeof block), -1);
  EXPECT_EQ(std::string(block), "<2");
  Counters after = Counters::Now();
  EXPECT_EQ(after.receiveCalls - before.receiveCalls, 1);
  EXPECT_EQ(after.bytesReceived - before.bytesReceived, 2u);
}

TEST_F(TransferTest, FailedReceiveCountsTheCallButNoBytes) {
  Pair pair;
  Sys().recv = [](int, void*, size_t, int) -> ssize_t {
    errno = ECONNRESET;
    return -1;
  };
  Counters before = Counters::Now();
  char block[8];
  EXPECT_EQ(ReceiveAll(pair.b, block, sizeof block), -1);
  Counters after = Counters::Now();
  EXPECT_EQ(after.receiveCalls - before.receiveCalls, 1);
  EXPECT_EQ(after.bytesReceived, before.bytesReceived);
}

TEST_F(TransferTest, ReceiveWithinGivesUpOnASlowPeer) {
  Pair pair;
  ASSERT_EQ(::send(pair.a.fd(), "<", 1, 0), 1);
  char block[256] = {};
  EXPECT_EQ(ReceiveAllWithin(pair.b, block, sizeof block, 100), -1);
  EXPECT_EQ(block[0], '<');
  ASSERT_EQ(::send(pair.a.fd(), std::string(255, 'x').data(), 255, 0), 255);
  EXPECT_EQ(ReceiveAllWithin(pair.b, block, 255, 5000), 255);
}

TEST_F(TransferTest, DiscardDropsPendingInputWithoutWaiting) {
  Pair pair;
  EXPECT_EQ(DiscardPendingInput(pair.b), 0u);  // nothing pending: returns at once
  std::string junk(10000, 'j');
  ASSERT_EQ(::send(pair.a.fd(), junk.data(), junk.size(), 0), 10000);
  Counters before = Counters::Now();
  EXPECT_EQ(DiscardPendingInput(pair.b), 10000u);
  Counters after = Counters::Now();
  EXPECT_EQ(after.bytesReceived - before.bytesReceived, 10000u);
  EXPECT_EQ(after.receiveCalls, before.receiveCalls);
}

TEST_F(TransferTest, SendToAResetPeerFailsWithoutKillingTheProcess) {
  Pair pair;
  pair.b.Close();
  std::string block(65536, 'x');
  EXPECT_EQ(SendAll(pair.a, block.data(), static_cast<uint32_t>(block.size())), -1);
}

}  // namespace
}  // namespace rureza
