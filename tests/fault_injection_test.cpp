// Faults injected through the system-call seam into the live server, each case checked for what
// the adapter receives, the log, and the slot, threads and descriptors given back.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/thread.h"
#include "request/dispatcher.h"
#include "server/server.h"
#include "server/server_run.h"
#include "server/transfer.h"
#include "support/faults.h"
#include "support/kinds.h"

namespace rureza::test {
namespace {

const std::string kLeaving = "127.0.0.1 is leaving......";
using FaultInjectionTest = HostileTest;

TEST_F(FaultInjectionTest, EveryReplyUnderEveryTransferFault) {
  InstallFaults();
  Begin(100000, 300000, 8, 100000, 20000);
  // Each injects its fault and gives how much of the reply then arrives; past any handshake.
  const auto halfWay = [](char kind, size_t full) {
    return kind == 'v' || kind == 'm' ? size_t(140000) : full / 2 + 7;
  };
  const struct {
    std::string kinds;
    std::function<size_t(char, size_t)> inject;
  } cases[] = {
      {kKinds, [](char, size_t full) { return ShortTransfers(1), full; }},
      {kKinds,
       [&](char kind, size_t full) {
         return FailSendsAfter(int64_t(halfWay(kind, full)), ECONNRESET), halfWay(kind, full);
       }},
      {kKinds,
       [&](char kind, size_t full) {
         return FailSendsAfter(int64_t(halfWay(kind, full)), EPIPE), halfWay(kind, full);
       }},
      // The second start of a request: without control, an AVI stream ends after its handshake.
      {"amv",
       [](char kind, size_t full) {
         FailThreadStart(1);
         return kind == 'v' ? 3 * 256 + 3 * kBlock + 256 : full;
       }},
      // Read errors after the header and probe blocks and three blocks of movie data; after the
      // first, last and first blocks again and three more; after two image chunks: the reply
      // ends there, the image unpadded.
      {"vmf",
       [](char kind, size_t) {
         FailFileReadsAfter(kind == 'v' ? 5 * kBlock : kind == 'm' ? 4 + 6 * kBlock : 8292);
         return kind == 'v'   ? 3 * 256 + 6 * kBlock + 256
                : kind == 'm' ? 512 + 6 * kBlock
                              : 256 + 8192;
       }},
  };
  for (const auto& c : cases) {
    for (char kind : c.kinds) {
      SCOPED_TRACE(KindName(kind));
      const std::string full = Reply(kind);
      const int leaving = log_->Count(kLeaving);
      const int32_t sends = SendCalls();
      const size_t received = c.inject(kind, full.size());
      const std::string got = Fetch(kind);
      const int32_t sent = SendCalls() - sends;
      ShortTransfers(0), FailSendsAfter(-1, 0), FailThreadStart(-1), FailFileReadsAfter(-1);
      EXPECT_EQ(got.size(), received);
      EXPECT_TRUE(got == full.substr(0, received));
      EXPECT_EQ(log_->Count(kLeaving), leaving + 1);
      // Whatever the kernel does, one counted call per block.
      EXPECT_TRUE(kind != 's' || got.size() != full.size() || sent == 1 + 4) << sent;
    }
  }
  // Only the read error is reported as one.
  EXPECT_EQ(log_->Count("Can Not Read File : " + (media_.path() / "fw.bin").string()), 1);
  // A command block that arrives a byte at a time still steers the stream.
  ShortTransfers(1);
  const std::string song = Media("audio/long.mp3", OffsetBytes(6 << 20));
  AdapterConnection client = Play('1', "long.mp3");
  ASSERT_TRUE(client.ReadExact(256));
  ASSERT_TRUE(Control().Send(Command("<8", std::to_string(song.size() - 1000))));
  EXPECT_TRUE(log_->WaitForLine("Fastforward...."));
  std::string data = client.ReadToClose(kLongReadMs).value_or("");
  EXPECT_TRUE(data.size() >= 1000 && data.ends_with(song.substr(song.size() - 1000)));
  client.Close();
  ShortTransfers(0);
  // A receive of 0 bytes on a control connection ends its thread; the stream plays on.
  client = Play('1', "long.mp3");
  ASSERT_TRUE(client.ReadExact(256));
  AdapterConnection control = Control();
  ASSERT_TRUE(WaitForThreads(kRunThreads + 2));
  CloseReceives(true);
  ASSERT_TRUE(control.Send(Command("<3")));  // wakes the pending receive; the next sees 0
  EXPECT_TRUE(WaitForThreads(kRunThreads + 1));
  EXPECT_TRUE(client.ReadToClose(kLongReadMs) == song);
  CloseReceives(false);
  client.Close();
  control.Close();
  ExpectRecovered();
}

TEST_F(FaultInjectionTest, FailedAcceptsAndASlowStopLoseNoConnection) {
  InstallFaults();
  Begin();
  for (int err : {EINTR, ECONNABORTED, EMFILE, ENOBUFS}) {
    FailNextAccept(err);
    EXPECT_TRUE(Fetch('a') == Reply('a')) << std::strerror(err);
  }
  // A stop that returns while the listener is held in an accept: the next run waits for it.
  DelayAccepts(600);
  AdapterConnection early;
  ASSERT_TRUE(early.Connect(LoopbackAddress(port())));
  ASSERT_TRUE(WaitUntil(AcceptHeld));
  Stop();
  EXPECT_EQ(log_->Count("System Warming 3001! Please Contact to Developers!"), 1);
  DelayAccepts(0);
  Start();
  EXPECT_EQ(log_->Count("Networking Error 1002! Please Contact to Developers!"), 0);
  early.Close();
  ExpectRecovered();
}

TEST_F(FaultInjectionTest, ListenerOrDiscoveryThreadThatCannotStart) {
  InstallFaults();
  SetCurrentSettings(settings_);
  // The listener (first start): nothing is accepted, discovery still answers. The discovery
  // thread (second): requests are still served.
  for (int fail : {0, 1}) {
    FailThreadStart(fail);
    StartServer(ServeClient);
    EXPECT_TRUE(
        log_->WaitForLine(fail ? "Cannot create UDP thread" : "Cannot create Listen thread"));
    if (fail) {
      ASSERT_TRUE(CurrentRun()->WaitForListenerOpened(10000));
      EXPECT_EQ(Exchange(Block("<2")), "");
      EXPECT_TRUE(log_->WaitForLine("Unknown command"));
    } else {
      EXPECT_FALSE(AdapterConnection().Connect(LoopbackAddress(port()), 1000));
    }
    const sockaddr_in udp = LoopbackAddress(uint16_t(port() + 3));
    EXPECT_EQ(WaitUntil([&] { return Probe(udp, "VE520", 100) == "VE520"; }, fail ? 300 : 10000),
              !fail);
    Stop();
    EXPECT_TRUE(WaitForThreads(0));
  }
  FailThreadStart(-1);
  Begin();
  ExpectRecovered();
}

}  // namespace
}  // namespace rureza::test
