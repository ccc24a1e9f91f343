// The live server on loopback: request lines, the client limit, time limits, Stop, restarts and
// discovery with its answer budget.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/poll.h"
#include "platform/thread.h"
#include "request/dispatcher.h"
#include "server/discovery.h"
#include "server/server.h"
#include "server/server_run.h"
#include "support/faults.h"
#include "support/fixture.h"
#include "support/reliability.h"

namespace rureza::test {
namespace {

TEST(DiscoveryRuleTest, NeverAnswersPrivilegedPortsOrItself) {
  for (auto [port, answered] : {std::pair{7, false}, {4570, false}, {1023, false}, {1024, true}}) {
    sockaddr_in sender = LoopbackAddress(uint16_t(port));
    EXPECT_EQ(MayAnswer(sender, 4570), answered) << port;
  }
}

TEST(AnswerBudgetTest, BurstThenTheRefillRate) {
  AnswerBudget budget(/*perSecond=*/100, /*burst=*/10);
  int answered = 0;
  for (int i = 0; i < 50; ++i) answered += budget.Take(1000);
  EXPECT_EQ(answered, 10);
  EXPECT_FALSE(budget.Take(1009));  // 0.9 of an answer refilled
  EXPECT_TRUE(budget.Take(1010));
  EXPECT_FALSE(budget.Take(1010));
  EXPECT_FALSE(budget.Take(500));  // a clock that went back refills nothing
  for (int i = 0; i < 50; ++i) answered += budget.Take(uint64_t{1} << 62);
  EXPECT_EQ(answered, 20);  // however long the pause, no more than the burst at once
}

TEST(ThreadTest, WhatABodyCapturedIsGoneWhenItsThreadCountsAsEnded) {
  auto captured = std::make_shared<int>(0);
  ASSERT_TRUE(StartThread([captured] {}));
  ASSERT_TRUE(WaitForThreadsToEnd(10000));
  EXPECT_EQ(captured.use_count(), 1);
}

const std::string kArrived = "New connection from 127.0.0.1";
const std::string kLeft = "127.0.0.1 is leaving......";
const std::string kAtLimit = "Maximum users is 1, please connect later.";

class ServerProtocolTest : public ServerTest {
 protected:
  void TearDown() override {
    SetRequestTimeLimitMs(30000);
    SetDiscoveryAnswerBudget(kDiscoveryAnswersPerSecond, kDiscoveryAnswerBurst);
    ServerTest::TearDown();
  }
  // Sends bytes, then waits until the connection is closed and counted out.
  void Request(const std::string& bytes, bool halfClose = false) {
    AdapterConnection client;
    ASSERT_TRUE(client.Connect(LoopbackAddress(port())) && client.Send(bytes));
    if (halfClose) client.ShutdownWrite();
    EXPECT_TRUE(client.ClosedWithoutData());
    ASSERT_TRUE(log_->WaitForLine(kLeft));
    ASSERT_TRUE(WaitUntil([] { return ClientCount() == 0; }));
  }
  // A socket of type bound to port on every interface, listening when TCP.
  static Socket Bound(int type, int port) {
    Socket socket(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    EXPECT_TRUE(socket.Bind(uint16_t(port)).ok());
    EXPECT_TRUE(type != SOCK_STREAM || socket.Listen(1).ok());
    return socket;
  }
};

TEST_F(ServerProtocolTest, RequestsAreLoggedAndTheirConnectionsClosed) {
  Start();
  const std::string path = audio().string() + "\\song.mp3";
  // A name that would forge a line, a terminal title and right-to-left text, with a C1 control,
  // a byte of no character, an overlong "/" and a surrogate: shown as \xNN, all but the "é" and
  // the note (a name from disk alike).
  const std::string forged = audio().string() +
                             "\\a\\x0a10.9.9.9 requests to upgrade the flash\\x1b]0;x\\x07"
                             "\\xe2\\x80\\xae\\xc2\\x85\\xff\\xe0\\x80\\xaf\\xed\\xa0\\x80"
                             "\xc3\xa9\xf0\x9f\x8e\xb5.mp3";
  // The lines between arrival and leaving; the first play line and the stream's are uncounted.
  for (auto [bytes, halfClose, lines, counted] :
       std::vector<std::tuple<std::string, bool, std::vector<std::string>, int>>{
           {Block("<2"), false, {"Unknown command"}, 3},
           {Block("<35song.mp3"), false, {"Unknown format"}, 3},
           {Block(">1"), false, {}, 2},
           {"<2", true, {"Unknown command"}, 3},  // incomplete: read as it arrived
           {Block("<31./song.mp3"),
            false,
            {"127.0.0.1 requests to play a MP3 file ::", path, "Can Not Open File : " + path},
            3},
           {Block("<31a\n10.9.9.9 requests to upgrade the flash\x1b]0;x\x07\xe2\x80\xae\xc2\x85"
                  "\xff\xe0\x80\xaf\xed\xa0\x80\xc3\xa9\xf0\x9f\x8e\xb5.mp3"),
            false,
            {"127.0.0.1 requests to play a MP3 file ::", forged, "Can Not Open File : " + forged},
            3}}) {
    log_->Reset();
    int16_t before = LogLineCount();
    Request(bytes, halfClose);
    lines.insert(lines.begin(), kArrived);
    lines.push_back(kLeft);
    EXPECT_EQ(log_->AllLines(), lines);
    EXPECT_EQ(LogLineCount() - before, counted) << lines[1];
  }
  NoteFault(
      "a play request whose name would forge a log line, a terminal title and right-to-left "
      "text: every byte that is no printable text logged as \\xNN");
}

TEST_F(ServerProtocolTest, ClientLimitHoldsConnectionsInTheBacklogWithoutFlooding) {
  settings_.clientLimit = 1;
  Start();
  AdapterConnection clients[3];
  ASSERT_TRUE(clients[0].Connect(LoopbackAddress(port())));
  ASSERT_TRUE(log_->WaitForLine(kAtLimit) && log_->WaitForLine(kArrived));
  for (int i = 1; i < 3; ++i) {
    ASSERT_TRUE(clients[i].Connect(LoopbackAddress(port())));  // completes in the backlog
    EXPECT_TRUE(i == 1 || clients[i].SilentFor(1300));  // past the 1 s watch: no repeated line
    EXPECT_EQ(log_->Count(kArrived), i);
    EXPECT_EQ(log_->Count(kAtLimit), i);  // once per reaching, never repeated while waiting
    ASSERT_TRUE(clients[i - 1].SendBlock("<2"));
    EXPECT_TRUE(clients[i - 1].ClosedWithoutData());
    // Taken as the slot frees, not at the listener's next watch a second later.
    ASSERT_TRUE(WaitUntil([&] { return log_->Count(kArrived) == i + 1; }, 600));
  }
  ASSERT_TRUE(clients[2].SendBlock("<2"));
  EXPECT_TRUE(clients[2].ClosedWithoutData());
  ASSERT_TRUE(WaitUntil([&] { return log_->Count(kLeft) == 3; }));
  EXPECT_EQ(log_->Count(kAtLimit), 3);
}

TEST_F(ServerProtocolTest, StopEndsWaitingConnectionsAndTheListenerPromptly) {
  for (int limit : {10, 1}) {
    if (HasFatalFailure()) return;
    settings_.clientLimit = int16_t(limit);
    Start();
    AdapterConnection first, waiting;
    ASSERT_TRUE(first.Connect(LoopbackAddress(port())));
    ASSERT_TRUE(limit > 1 || log_->WaitForLine(kAtLimit));
    ASSERT_TRUE(waiting.Connect(LoopbackAddress(port())));
    ASSERT_TRUE(WaitUntil([&] { return ClientCount() == std::min(limit, 2); }));
    Stop();
    EXPECT_TRUE(first.ClosedWithoutData());
    EXPECT_FALSE(waiting.ReadExact(1, 2000));  // closed or reset, never served
    EXPECT_TRUE(WaitUntil([] { return ClientCount() == 0; }));
    EXPECT_EQ(log_->Count("System Warming 3001! Please Contact to Developers!"), 0);
    EXPECT_EQ(log_->Count(kArrived), std::min(limit, 2));
    log_->Reset();
  }
}

// A run that cannot hold its request or control port ends on its own, saying which port and
// who holds it, and is never announced by discovery; one without its discovery port serves.
TEST_F(ServerProtocolTest, PortInUseIsReportedOnce) {
  const sockaddr_in udp = LoopbackAddress(uint16_t(port() + 3));
  for (auto [type, offset, line] : std::vector<std::tuple<int, int, std::string>>{
           {SOCK_STREAM, 1, "NetWorking Error 1005! Please Contact to Developers!"},
           {SOCK_STREAM, 0, "Networking Error 1002! Please Contact to Developers!"},
           {SOCK_DGRAM, 3,
            "Discovery port " + std::to_string(port() + 3) +
                " cannot be opened: Address already in use"}}) {
    Socket blocker = Bound(type, port() + offset);
    SetCurrentSettings(settings_);
    StartServer(ServeClient);
    EXPECT_TRUE(log_->WaitForLine(line));
    if (offset < 3) {
      ASSERT_TRUE(WaitUntil([] { return !ServerIsRunning(); }));
      EXPECT_EQ(ServerFailure(), "TCP port " + std::to_string(port() + offset) +
                                     " is already in use by core_tests (PID " +
                                     std::to_string(::getpid()) + ")");
      // The request port is not left half-open.
      EXPECT_TRUE(offset == 0 || !AdapterConnection().Connect(LoopbackAddress(port()), 1000));
      EXPECT_EQ(Probe(udp, "VE520", 300), std::nullopt);
    } else {  // requests are still served
      ASSERT_TRUE(CurrentRun()->WaitForListenerOpened(5000));
      Request(Block("<2"));
    }
    EXPECT_EQ(log_->Count(line), 1);
    Stop();
  }
}

// A start while the last run's listener still holds the ports: discovery waits for its own.
TEST_F(ServerProtocolTest, DiscoveryAnswersOnlyOnceTheListenerHoldsItsPorts) {
  InstallFaults();
  Start();
  DelayAccepts(1000);  // the listener stays in accept, and with it the ports, after the stop
  AdapterConnection client;
  ASSERT_TRUE(client.Connect(LoopbackAddress(port())));
  ASSERT_TRUE(WaitUntil(AcceptHeld));
  Stop();
  StartServer(ServeClient);
  const sockaddr_in udp = LoopbackAddress(uint16_t(port() + 3));
  EXPECT_EQ(Probe(udp, "VE520", 300), std::nullopt);
  ASSERT_TRUE(CurrentRun()->WaitForListenerOpened(10000));
  EXPECT_TRUE(WaitUntil([&] { return Probe(udp, "VE520", 100) == "VE520"; }));
}

TEST_F(ServerProtocolTest, RestartRightAfterStopBindsAgainAndLeaksNothing) {
  for (int cycle = 0; cycle < 20 && !HasFatalFailure(); ++cycle) {
    Start();
    Request(Block("<2"));  // the server closes first: its side lingers in TIME_WAIT
    Stop();
  }
  EXPECT_EQ(log_->Count("Networking Error 1002! Please Contact to Developers!"), 0);
  EXPECT_EQ(log_->Count(kLeft), 20);
}

TEST_F(ServerProtocolTest, ClientThreadThatCannotStartGivesItsSlotBack) {
  settings_.clientLimit = 1;
  InstallFaults();
  Start();
  FailThreadStart(0);
  AdapterConnection refused;
  ASSERT_TRUE(refused.Connect(LoopbackAddress(port())));
  EXPECT_TRUE(log_->WaitForLine("System Error 2002! Please Contact to Developers!"));
  EXPECT_TRUE(refused.ClosedWithoutData());
  EXPECT_EQ(ClientCount(), 0);
  Request(Block("<2"));
}

TEST_F(ServerProtocolTest, DiscoveryEchoesTheProbeOnly) {
  Start();
  const sockaddr_in udp = LoopbackAddress(uint16_t(port() + 3));
  // The largest datagram is read whole: only its first five bytes count.
  const std::string largest = "VE520" + std::string(65507 - 5, 'x');
  for (const std::string& probe : {std::string("VE520 and more"), largest}) {
    EXPECT_EQ(Probe(udp, probe, 5000), "VE520") << probe.size();
  }
  for (const std::string& probe : {std::string("VE52"), std::string("ve520"), std::string("VE521"),
                                   std::string(), "v" + largest.substr(1)}) {
    EXPECT_EQ(Probe(udp, probe, 300), std::nullopt) << probe.size();
  }
  EXPECT_EQ(Probe(udp, "VE520", 5000), "VE520");  // still answering after the rubbish
  Stop();
  EXPECT_EQ(Probe(udp, "VE520", 300), std::nullopt);
  Start();
  EXPECT_EQ(Probe(udp, "VE520", 5000), "VE520");
}

// A flood of probes from one address gets no more answers than one sender's half of the
// budget, and another adapter probing meanwhile is answered; echo services on three addresses,
// each bouncing every answer back, get no more than the budget in all.
TEST_F(ServerProtocolTest, FloodsAndEchoLoopsGetTheirShareOfTheBudgetAndOthersAreAnswered) {
  SetDiscoveryAnswerBudget(/*perSecond=*/100, /*burst=*/200);  // a sender: 50 a second, 100 at once
  auto from = [](uint32_t host) {                              // a socket at 127.0.0.host
    Socket socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Ipv4Address({htonl(0x7f000000 | host)}, 0);
    int size = 4 << 20;
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    EXPECT_EQ(::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return socket;
  };
  for (bool echo : {false, true}) {
    Start();
    const sockaddr_in to = LoopbackAddress(uint16_t(port() + 3));
    std::vector<Socket> sockets;
    for (uint32_t host : {1, 3, 4}) {
      if (echo || host == 1) sockets.push_back(from(host));
    }
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> probed{echo};
    std::atomic<int> flooded{0};
    int other = 0;
    std::thread flood([&] {
      while (flooded < 3000000 && !probed) flooded += sockets[0].SendTo("VE520", 5, to) == 5;
    });
    if (!echo) {
      ASSERT_TRUE(WaitUntil([&] { return flooded > 20000; }));  // the budget is long drained
      Socket second = from(2);                                  // 127.0.0.2: another adapter
      for (int i = 0; i < 50; ++i) other += Probe(second, to, "VE520", 1000) == "VE520";
      NoteFault("a flood of probes from 127.0.0.1 (" + std::to_string(flooded) +
                " so far) while 127.0.0.2 probes 50 times: " + std::to_string(other) + " answered");
    }
    probed = true;
    flood.join();
    EXPECT_GE(other, echo ? 0 : 45);
    std::vector<PollItem> items;
    for (const Socket& socket : sockets) {
      items.push_back({socket.fd(), false});
      if (echo) socket.SendTo("VE520", 5, to);
    }
    int answers = 0;
    auto last = start;
    char buffer[64];
    sockaddr_in sender{};
    // The loop ends when the budget stops answering; a second of quiet tells.
    while (PollReadable(items.data(), items.size(), 1000) > 0 && answers < 1000) {
      for (size_t i = 0; i < items.size(); ++i) {
        ssize_t n = items[i].readable ? sockets[i].ReceiveFrom(buffer, sizeof buffer, &sender) : 0;
        answers += n == 5;
        last = n == 5 ? std::chrono::steady_clock::now() : last;
        if (echo && n > 0) sockets[i].SendTo(buffer, size_t(n), to);
      }
    }
    const double seconds = std::chrono::duration<double>(last - start).count();
    // Three loops, or one flooding address, are held to what two senders (one) may have.
    const int senders = echo ? 2 : 1;
    EXPECT_GE(answers, 100 * senders);
    EXPECT_LE(answers, (100 + 50 * seconds) * senders + 1) << seconds << " s";
    EXPECT_TRUE(WaitUntil([&] { return Probe(to, "VE520", 100) == "VE520"; }, 5000));
    Stop();
  }
}

}  // namespace
}  // namespace rureza::test
