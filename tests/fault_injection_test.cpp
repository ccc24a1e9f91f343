// Faults injected through the system-call seam into the live server, each case checked for what
// the adapter receives, the log, and the slot, threads and descriptors given back.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "delivery/stream_blocks.h"
#include "platform/syscalls.h"
#include "platform/thread.h"
#include "server/server.h"
#include "server/server_run.h"
#include "server/transfer.h"
#include "support/delivery_support.h"
#include "support/hostile.h"

namespace rureza::test {
namespace {

// What the injected calls do; changed only through atomics while the server runs.
struct {
  std::atomic<uint64_t> calls{0};
  std::atomic<bool> shorten{false};  // every other call moves one byte, every third is EINTR
  std::atomic<int64_t> budget{-1};   // socket bytes before sends fail with err; -1: no limit
  std::atomic<int> err{0};           // of the sends past the budget
  std::atomic<bool> receiveClose{false};
  std::atomic<int> acceptErr{0}, acceptDelayMs{0}, starts{0}, failStart{-1};
  std::atomic<bool> acceptEntered{false};
} g;
SysCalls g_next;  // the calls in place before ours

template <typename Call>
ssize_t Shaped(size_t n, bool socket, Call call) {
  if (g.shorten) {
    uint64_t c = g.calls++;
    if (c % 3 == 2) return errno = EINTR, -1;
    if (c % 2) n = std::min<size_t>(n, 1);
  }
  int64_t budget = socket ? g.budget.load() : -1;
  if (budget == 0) return errno = g.err, -1;
  if (budget > 0) n = std::min<size_t>(n, size_t(budget));
  ssize_t done = call(n);
  if (budget > 0 && done > 0) g.budget -= done;
  return done;
}

bool IsSocket(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
}

// File bytes reach the socket through send, splice and sendfile alike.
void InstallShaped() {
  g_next = Sys();
  Sys().send = [](int fd, const void* data, size_t n, int flags) {
    return Shaped(n, true, [&](size_t m) { return g_next.send(fd, data, m, flags); });
  };
  Sys().recv = [](int fd, void* data, size_t n, int flags) -> ssize_t {
    if (g.receiveClose) return 0;
    return Shaped(n, false, [&](size_t m) { return g_next.recv(fd, data, m, flags); });
  };
  Sys().read = [](int fd, void* data, size_t n) {
    return Shaped(n, false, [&](size_t m) { return g_next.read(fd, data, m); });
  };
  Sys().splice = [](int in, loff_t* inAt, int out, loff_t* outAt, size_t n, unsigned flags) {
    return Shaped(n, IsSocket(out),
                  [&](size_t m) { return g_next.splice(in, inAt, out, outAt, m, flags); });
  };
  Sys().sendfile = [](int out, int in, off_t* at, size_t n) {
    return Shaped(n, true, [&](size_t m) { return g_next.sendfile(out, in, at, m); });
  };
  Sys().accept4 = [](int fd, sockaddr* address, socklen_t* length, int flags) {
    if (int err = g.acceptErr.exchange(0)) return errno = err, -1;
    if (int ms = g.acceptDelayMs) {
      g.acceptEntered = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    return g_next.accept4(fd, address, length, flags);
  };
  Sys().startThread = [](std::function<void()> body) {
    return g.starts++ != g.failStart && g_next.startThread(std::move(body));
  };
}

const std::string kLeaving = "127.0.0.1 is leaving......";

class FaultInjectionTest : public HostileTest {
 protected:
  void TearDown() override {
    HostileTest::TearDown();
    ResetFileFaults();
    g.calls = 0, g.shorten = false, g.budget = -1, g.err = 0;
    g.receiveClose = false;
    g.acceptErr = 0, g.acceptDelayMs = 0, g.starts = 0, g.failStart = -1;
  }
};

TEST_F(FaultInjectionTest, EveryReplyUnderEveryTransferFault) {
  UseFiles(100000, 300000, 8, 100000, 20000);
  FailFileReadsAfter(-1);  // file reads through the injected call, so a budget can be set later
  InstallShaped();
  Begin();
  const std::string shortened = "1-byte sends, receives and file reads, EINTR on every third call";
  // Each injects its fault and gives how much of the reply then arrives.
  const auto halfWay = [](char kind, size_t full) {  // past any handshake
    g.budget = kind == 'v' || kind == 'm' ? 140000 : int64_t(full) / 2 + 7;
    return size_t(g.budget);
  };
  const struct {
    std::string fault, kinds, outcome;
    std::function<size_t(char, size_t)> inject;
  } cases[] = {
      {shortened, kKinds, "byte-exact reply",
       [](char, size_t full) { return g.shorten = true, full; }},
      {"send fails with ECONNRESET", kKinds, "reply ends at the failed byte",
       [&](char kind, size_t full) { return g.err = ECONNRESET, halfWay(kind, full); }},
      {"send fails with EPIPE", kKinds, "reply ends at the failed byte",
       [&](char kind, size_t full) { return g.err = EPIPE, halfWay(kind, full); }},
      // The second start of a request: without control, an AVI stream ends after its handshake.
      {"the stream's control thread cannot start", "amv", "audio and MPEG play on, AVI ends",
       [](char kind, size_t full) {
         g.starts = 0, g.failStart = 1;
         return kind == 'v' ? 3 * 256 + 3 * kBlock + 256 : full;
       }},
      // Read errors after the header and probe blocks and three blocks of movie data; after the
      // magic, the first, last and first blocks again and three more; after two image chunks.
      {"file read fails with EIO", "vmf", "reply ends there, the image unpadded",
       [](char kind, size_t) {
         FailFileReadsAfter(kind == 'v' ? 5 * kBlock : kind == 'm' ? 4 + 6 * kBlock : 8292);
         return kind == 'v'   ? 3 * 256 + 6 * kBlock + 256
                : kind == 'm' ? 512 + 6 * kBlock
                              : 256 + 8192;
       }},
  };
  for (const auto& c : cases) {
    for (char kind : c.kinds) {
      SCOPED_TRACE(c.fault + ": " + KindName(kind));
      const std::string full = Reply(kind);
      const int leaving = log_->Count(kLeaving);
      const int32_t sends = Traffic().sendCalls.load();
      const size_t received = c.inject(kind, full.size());
      const std::string got = Fetch(kind);
      g.shorten = false, g.budget = -1, g.failStart = -1;
      ResetFileFaults();
      EXPECT_EQ(got.size(), received);
      EXPECT_TRUE(got == full.substr(0, received));
      EXPECT_EQ(log_->Count(kLeaving), leaving + 1);
      if (c.fault == shortened && kind == 's') {
        EXPECT_EQ(Traffic().sendCalls.load() - sends, 1 + 4);  // one SendAll counted per block
      }
      RecordFault(c.fault, KindName(kind), c.outcome + ", slot and threads given back");
    }
  }
  // Only the read error is reported as one.
  EXPECT_EQ(log_->Count("Can Not Read File : " + (media_.path() / "fw.bin").string()), 1);
  // A command block that arrives a byte at a time still steers the stream.
  g.shorten = true;
  const std::string song = Media("audio/long.mp3", OffsetBytes(6 << 20));
  AdapterClient client = Play('1', "long.mp3");
  ASSERT_TRUE(client.ReadExact(256));
  ASSERT_TRUE(Control().SendRaw(Command("<8", std::to_string(song.size() - 1000))));
  EXPECT_TRUE(log_->WaitForLine("Fastforward...."));
  std::string data = client.ReadToClose(kLongReadMs).value_or("");
  EXPECT_TRUE(data.size() >= 1000 &&
              data.substr(data.size() - 1000) == song.substr(song.size() - 1000));
  client.Close();
  g.shorten = false;
  RecordFault(shortened, "a control command", "taken up: fast forward to the target");
  // A receive of 0 bytes on a control connection ends its thread; the stream plays on.
  client = Play('1', "long.mp3");
  ASSERT_TRUE(client.ReadExact(256));
  AdapterClient control = Control();
  ASSERT_TRUE(WaitForThreads(kRunThreads + 2));
  g.receiveClose = true;
  ASSERT_TRUE(control.SendRaw(Command("<3")));  // wakes the pending receive; the next sees 0
  EXPECT_TRUE(WaitForThreads(kRunThreads + 1));
  EXPECT_TRUE(client.ReadToClose(kLongReadMs) == song);
  g.receiveClose = false;
  client.Close();
  control.Close();
  RecordFault("receive returns 0 bytes", "a control connection",
              "control thread ends, the stream plays to its end");
  ExpectRecovered();
}

TEST_F(FaultInjectionTest, FailedAcceptsAndASlowStopLoseNoConnection) {
  InstallShaped();
  Begin();
  for (int err : {EINTR, ECONNABORTED, EMFILE, ENOBUFS}) {
    g.acceptErr = err;
    EXPECT_TRUE(Exchange(Block("<31ordinary.mp3")) == served_) << std::strerror(err);
    RecordFault(std::string("accept fails with ") + strerrorname_np(err), "the request port",
                "the connection is still accepted and served");
  }
  // A stop that returns while the listener is held in an accept: the next run waits for it.
  g.acceptDelayMs = 600;
  AdapterClient early;
  ASSERT_TRUE(early.Connect(port()));
  ASSERT_TRUE(WaitUntil([] { return g.acceptEntered.load(); }));
  Stop();
  EXPECT_EQ(log_->Count("System Warming 3001! Please Contact to Developers!"), 1);
  g.acceptDelayMs = 0;
  Start();
  EXPECT_EQ(log_->Count("Networking Error 1002! Please Contact to Developers!"), 0);
  early.Close();
  RecordFault("accept held for 600 ms while the server stops", "a restart right after the stop",
              "the new run waits for the ports, binds them and serves");
  ExpectRecovered();
}

TEST_F(FaultInjectionTest, ListenerOrDiscoveryThreadThatCannotStart) {
  InstallShaped();
  SetCurrentSettings(settings_);
  // The listener (first start): nothing is accepted, discovery still answers. The discovery
  // thread (second): requests are still served.
  for (int fail : {0, 1}) {
    g.starts = 0;
    g.failStart = fail;
    StartServer();
    EXPECT_TRUE(
        log_->WaitForLine(fail ? "Cannot create UDP thread" : "Cannot create Listen thread"));
    if (fail) {
      ASSERT_TRUE(CurrentRun()->WaitForListenerOpened(10000));
      EXPECT_EQ(Exchange(Block("<2")), "");
      EXPECT_TRUE(log_->WaitForLine("Unknown command"));
    } else {
      AdapterClient client;
      EXPECT_FALSE(client.Connect(port(), 1000));
    }
    EXPECT_EQ(
        WaitUntil([&] { return Probe(port() + 3, "VE520", 100) == "VE520"; }, fail ? 300 : 10000),
        !fail);
    Stop();
    EXPECT_TRUE(WaitForThreads(0));
    RecordFault("thread start fails", fail ? "the discovery thread" : "the listener",
                fail ? "\"Cannot create UDP thread\"; requests served"
                     : "\"Cannot create Listen thread\"; nothing served");
  }
  g.failStart = -1;
  Begin();
  ExpectRecovered();
}

}  // namespace
}  // namespace rureza::test
