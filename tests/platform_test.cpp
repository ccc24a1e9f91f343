// The platform facts the server relies on, and SendAll/ReceiveAll with their counters.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "platform/event.h"
#include "platform/file.h"
#include "platform/syscalls.h"
#include "platform/thread.h"
#include "server/transfer.h"
#include "support/adapter_client.h"
#include "support/test_server.h"

namespace rureza {
namespace {

using test::TempDir;

TEST(FileTest, OnlyRegularFilesOpenAndNothingBlocks) {
  TempDir dir;
  std::string fifo = (dir.path() / "pipe").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  auto start = std::chrono::steady_clock::now();
  for (auto [path, code] : std::map<std::string, int>{
           {fifo, 0}, {"/dev/null", 0}, {dir.path(), EISDIR}, {dir.path() / "none", ENOENT}}) {
    Status error;
    EXPECT_FALSE(File::OpenShared(path, &error).valid()) << path;
    EXPECT_FALSE(error.ok()) << path;
    EXPECT_TRUE(!code || (error.code == code && error.text == std::strerror(code))) << path;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  dir.Write("sub/file.bin", "abc");
  File file = File::OpenShared(dir.path().string() + "\\sub\\file.bin");  // '\' names folders
  char buffer[8] = {};
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 3);
  EXPECT_EQ(file.Length(), 3);
  EXPECT_EQ(NativePath("a\\b/c"), "a/b/c");
}

TEST(FileTest, ExclusiveOpenFailsAtOnceWhileAnyHandleHoldsTheFile) {
  TempDir dir;
  std::string path = dir.Write("fw.bin", "x").string();
  for (bool exclusiveFirst : {true, false}) {
    File first = exclusiveFirst ? File::OpenExclusive(path, false) : File::OpenShared(path);
    ASSERT_TRUE(first.valid());
    Status error;
    EXPECT_FALSE(File::OpenExclusive(path, false, &error).valid());
    EXPECT_EQ(error.code, EBUSY);
    EXPECT_EQ(File::OpenShared(path).valid(), !exclusiveFirst);
  }
  ::chmod(path.c_str(), 0444);  // owner write bit clear: read-only even for root
  Status error;
  EXPECT_FALSE(File::OpenExclusive(path, true, &error).valid());
  EXPECT_EQ(error.code, EACCES);
  EXPECT_TRUE(File::OpenExclusive(path, false).valid());
}

TEST(ThreadTest, CountsThreadsUntilTheirCapturesAreGoneAndReusesIdleOnes) {
  auto token = std::make_shared<int>(1);
  std::weak_ptr<int> watch = token;
  ManualResetEvent release;
  ASSERT_TRUE(StartThread([token = std::move(token), &release] { release.Wait(); }));
  EXPECT_FALSE(WaitForThreadsToEnd(20));
  release.Set();
  ASSERT_TRUE(WaitForThreadsToEnd(10000));
  EXPECT_TRUE(watch.expired());
  std::set<std::thread::id> ids;
  for (int i = 0; i < 5; ++i) {
    std::thread::id id;
    ASSERT_TRUE(StartThread([&id] { id = std::this_thread::get_id(); }));
    ASSERT_TRUE(WaitForThreadsToEnd(10000));
    ids.insert(id);
  }
  EXPECT_LE(ids.size(), 2u);  // 2: the machine may stall a whole idle wait once
}

TEST(ThreadTest, BodiesStartedAtOnceFromManyThreadsEachRunOnce) {
  std::vector<std::atomic<int>> runs(4 * 300);
  std::vector<std::thread> starters;
  for (int s = 0; s < 4; ++s) {
    starters.emplace_back([&runs, s] {
      for (int b = 0; b < 300; ++b) {
        ASSERT_TRUE(StartThread([&count = runs[size_t(s * 300 + b)]] { ++count; }));
      }
    });
  }
  for (std::thread& s : starters) s.join();
  ASSERT_TRUE(WaitForThreadsToEnd(30000));
  for (const auto& count : runs) ASSERT_EQ(count.load(), 1);
}

TEST(SocketTest, ShutdownWakesABlockedAcceptOrReceive) {
  for (bool udp : {false, true}) {
    Socket socket = udp ? Socket::NewUdp(nullptr) : Socket::NewTcp(nullptr);
    ASSERT_TRUE(socket.Bind(0).ok() && (udp || socket.Listen(5).ok()));
    auto woken = std::async(std::launch::async, [&] {
      char byte;
      sockaddr_in from{};
      return udp ? socket.ReceiveFrom(&byte, 1, &from) <= 0
                 : !socket.Accept(nullptr, nullptr).valid();
    });
    EXPECT_EQ(woken.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    socket.Shutdown();
    if (woken.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << "not woken, udp " << udp;  // wake it another way so as not to hang
      test::AdapterClient poke;
      udp ? void(test::Probe(socket.LocalPort(), "x", 0)) : void(poke.Connect(socket.LocalPort()));
    }
    EXPECT_TRUE(woken.get()) << udp;
  }
}

// Replaces the kernel's transfers: call k (from 1) fails when k == failAt (with failErrno, or
// returning 0 when that is 0), is interrupted on every other call when interrupt, and otherwise
// moves at most chunk bytes.
struct Script {
  size_t chunk = SIZE_MAX;
  bool interrupt = false;
  int failAt = 0, failErrno = 0;
};
Script g_script;
int g_calls = 0;

template <typename Real>
ssize_t Scripted(size_t n, Real real) {
  int call = ++g_calls;
  errno = call == g_script.failAt ? g_script.failErrno : EINTR;
  if (call == g_script.failAt) return g_script.failErrno ? -1 : 0;
  if (g_script.interrupt && call % 2 == 0) return -1;
  return real(std::min(n, g_script.chunk));
}

TEST(TransferTest, SendAndReceiveAllWithTheirCounters) {
  const std::string k16 = "0123456789abcdef";
  // Send or receive, the kernel's script, the bytes sent (by the peer for a receive), whether
  // the peer has closed, the length asked for, the result, the bytes counted, the kernel calls.
  for (auto [send, script, data, peerCloses, length, result, bytes, kernelCalls] :
       std::vector<std::tuple<bool, Script, std::string, bool, uint32_t, int32_t, uint32_t, int>>{
           {true, {}, "", false, 0, 0, 0, 1},  // one call even for nothing
           {true, {1, true}, k16, false, 16, 16, 16, 31},
           {true, {2, false, 4, ECONNRESET}, k16, false, 10, -1, 6, 4},  // earlier bytes counted
           {true, {SIZE_MAX, false, 1, 0}, k16, false, 16, -1, 0, 1},    // a 0-byte send fails
           {true, {}, std::string(65536, 'x'), true, 65536, -1, 0, 0},   // no SIGPIPE
           {false, {1, true}, k16, false, 16, 16, 16, 31},
           {false, {SIZE_MAX, false, 1, ECONNRESET}, "", false, 16, -1, 0, 1},
           {false, {}, "<2", true, 256, -1, 2, 0}}) {  // peer close: what came is kept
    SCOPED_TRACE(testing::Message() << send << " " << length << " " << result);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    Socket ours(fds[0]), peer(fds[1]);
    ASSERT_TRUE(send || ::send(peer.fd(), data.data(), data.size(), 0) == ssize_t(data.size()));
    if (peerCloses) peer.Close();
    g_script = script;
    g_calls = 0;
    Sys().send = [](int fd, const void* b, size_t n, int f) {
      return Scripted(n, [&](size_t m) { return ::send(fd, b, m, f); });
    };
    Sys().recv = [](int fd, void* b, size_t n, int f) {
      return Scripted(n, [&](size_t m) { return ::recv(fd, b, m, f); });
    };
    TrafficCounters& t = Traffic();
    uint32_t bytesBefore = send ? t.bytesSent : t.bytesReceived;
    int32_t callsBefore = send ? t.sendCalls : t.receiveCalls;
    std::string buffer(length, '\0');
    EXPECT_EQ(send ? SendAll(ours, data.data(), length) : ReceiveAll(ours, buffer.data(), length),
              result);
    ResetSysCalls();
    EXPECT_EQ((send ? t.bytesSent : t.bytesReceived) - bytesBefore, bytes);
    EXPECT_EQ((send ? t.sendCalls : t.receiveCalls) - callsBefore, 1);
    EXPECT_EQ(kernelCalls ? g_calls : 0, kernelCalls);
    EXPECT_EQ(send ? data : buffer.substr(0, data.size()), data);
  }
}

TEST(TransferTest, ReceiveWithinGivesUpOnASlowPeerAndDiscardNeverWaits) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  Socket ours(fds[0]), peer(fds[1]);
  EXPECT_EQ(DiscardPendingInput(ours), 0u);  // nothing pending: returns at once
  std::string block(10256, 'x');
  ASSERT_EQ(::send(peer.fd(), block.data(), 1, 0), 1);
  EXPECT_EQ(ReceiveAllWithin(ours, block.data(), 256, 100), -1);
  ASSERT_EQ(::send(peer.fd(), block.data(), 10255, 0), 10255);
  EXPECT_EQ(ReceiveAllWithin(ours, block.data(), 255, 5000), 255);
  TrafficCounters& t = Traffic();
  uint32_t bytes = t.bytesReceived;
  int32_t calls = t.receiveCalls;
  EXPECT_EQ(DiscardPendingInput(ours), 10000u);
  EXPECT_EQ(t.bytesReceived - bytes, 10000u);  // counted as received, but as no call
  EXPECT_EQ(t.receiveCalls, calls);
}

}  // namespace
}  // namespace rureza
