// The live server on loopback: request lines, the client limit, time limits, Stop, restarts
// and discovery.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/syscalls.h"
#include "platform/thread.h"
#include "server/discovery.h"
#include "server/dispatcher.h"
#include "server/server.h"
#include "server/server_run.h"
#include "support/adapter_client.h"
#include "support/test_server.h"

namespace rureza {
namespace {

using test::AdapterClient;
using test::Probe;
using test::WaitUntil;

const std::string kPeer = "127.0.0.1";
const std::string kArrived = "New connection from 127.0.0.1";
const std::string kLeft = "127.0.0.1 is leaving......";

// The lines from the first connection line on.
std::vector<std::string> ConnectionLines(const test::CapturingSink& log) {
  std::vector<std::string> all = log.AllLines(), lines;
  bool started = false;
  for (const std::string& line : all) {
    started = started || line == kArrived;
    if (started) lines.push_back(line);
  }
  return lines;
}

class ServerProtocolTest : public test::ServerTest {
 protected:
  void TearDown() override {
    SetRequestTimeLimitMs(30000);
    test::ServerTest::TearDown();
    ResetSysCalls();
  }

  // Sends one request and waits until its connection has been counted out.
  void Request(const std::string& block) {
    AdapterClient client;
    ASSERT_TRUE(client.Connect(port()));
    ASSERT_TRUE(client.SendRaw(block));
    EXPECT_TRUE(client.ClosedWithoutData());
    ASSERT_TRUE(log_->WaitForLine(kLeft));
    ASSERT_TRUE(WaitUntil([] { return ClientCount() == 0; }));
  }
};

TEST_F(ServerProtocolTest, UnknownCommandIsLoggedAndTheConnectionClosed) {
  Start();
  Request(test::Block("<2"));
  EXPECT_EQ(ConnectionLines(*log_), (std::vector<std::string>{kArrived, "Unknown command", kLeft}));
}

TEST_F(ServerProtocolTest, UnknownFormatIsLoggedAndTheConnectionClosed) {
  Start();
  Request(test::Block("<35song.mp3"));
  EXPECT_EQ(ConnectionLines(*log_), (std::vector<std::string>{kArrived, "Unknown format", kLeft}));
}

TEST_F(ServerProtocolTest, BlockNotStartingWithLessThanGetsNoLine) {
  Start();
  Request(test::Block(">1"));
  EXPECT_EQ(ConnectionLines(*log_), (std::vector<std::string>{kArrived, kLeft}));
}

TEST_F(ServerProtocolTest, IncompleteBlockIsInterpretedAsItArrived) {
  Start();
  AdapterClient client;
  ASSERT_TRUE(client.Connect(port()));
  ASSERT_TRUE(client.SendRaw("<2"));
  client.ShutdownWrite();
  EXPECT_TRUE(client.ClosedWithoutData());
  ASSERT_TRUE(log_->WaitForLine(kLeft));
  EXPECT_EQ(ConnectionLines(*log_), (std::vector<std::string>{kArrived, "Unknown command", kLeft}));
}

TEST_F(ServerProtocolTest, PlayRequestLogsItsPathAndCountsOneLineLess) {
  Start();
  int16_t before = LogLineCount();
  Request(test::Block("<31./song.mp3"));
  std::vector<std::string> expected = {
      kArrived, "127.0.0.1 requests to play a MP3 file ::", audio().string() + "\\song.mp3", kLeft};
  EXPECT_EQ(ConnectionLines(*log_), expected);
  EXPECT_EQ(LogLineCount() - before, 3);  // the first play line is uncounted
}

TEST_F(ServerProtocolTest, SlowOrSilentClientLosesItsSlotAfterTheTimeLimit) {
  SetRequestTimeLimitMs(300);
  Start();
  AdapterClient silent, trickle;
  ASSERT_TRUE(silent.Connect(port()));
  ASSERT_TRUE(trickle.Connect(port()));
  ASSERT_TRUE(WaitUntil([] { return ClientCount() == 2; }));
  for (int i = 0; i < 5 && ClientCount() > 0; ++i) {
    trickle.SendRaw("<");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(WaitUntil([] { return ClientCount() == 0; }));
  EXPECT_TRUE(silent.ClosedWithoutData());
  EXPECT_TRUE(trickle.ClosedWithoutData());
  // "<<" is not a known command; the silent one gets no line at all.
  EXPECT_EQ(log_->Count("Unknown command"), 1);
}

TEST_F(ServerProtocolTest, StopEndsConnectionsStillWaitingForTheirRequest) {
  Start();
  AdapterClient client;
  ASSERT_TRUE(client.Connect(port()));
  ASSERT_TRUE(WaitUntil([] { return ClientCount() == 1; }));
  Stop();
  EXPECT_TRUE(client.ClosedWithoutData());
  EXPECT_TRUE(WaitUntil([] { return ClientCount() == 0; }));
  EXPECT_EQ(log_->Count("System Warming 3001! Please Contact to Developers!"), 0);
}

TEST_F(ServerProtocolTest, ClientLimitHoldsConnectionsInTheBacklogWithoutFlooding) {
  settings_.clientLimit = 1;
  Start();
  AdapterClient first, second;
  ASSERT_TRUE(first.Connect(port()));
  ASSERT_TRUE(log_->WaitForLine("Maximum users is 1, please connect later."));
  ASSERT_TRUE(second.Connect(port()));  // completes in the backlog
  EXPECT_TRUE(second.SilentFor(300));
  EXPECT_EQ(log_->Count(kArrived), 1);
  EXPECT_EQ(log_->Count("Maximum users is 1, please connect later."), 1);

  ASSERT_TRUE(first.SendBlock("<2"));
  EXPECT_TRUE(first.ClosedWithoutData());
  ASSERT_TRUE(WaitUntil([&] { return log_->Count(kArrived) == 2; }));
  // The listener sees the limit reached again while the second connection waits for its
  // request; once that is served, the count may drop before the listener looks.
  EXPECT_TRUE(
      WaitUntil([&] { return log_->Count("Maximum users is 1, please connect later.") == 2; }));
  ASSERT_TRUE(second.SendBlock("<2"));
  EXPECT_TRUE(second.ClosedWithoutData());
  ASSERT_TRUE(WaitUntil([&] { return log_->Count(kLeft) == 2; }));
  // Reached once for each accepted connection, never repeated while waiting.
  EXPECT_EQ(log_->Count("Maximum users is 1, please connect later."), 2);
}

TEST_F(ServerProtocolTest, StopAtTheClientLimitEndsTheListenerPromptly) {
  settings_.clientLimit = 1;
  Start();
  AdapterClient first, waiting;
  ASSERT_TRUE(first.Connect(port()));
  ASSERT_TRUE(log_->WaitForLine("Maximum users is 1, please connect later."));
  ASSERT_TRUE(waiting.Connect(port()));
  Stop();
  EXPECT_EQ(log_->Count("System Warming 3001! Please Contact to Developers!"), 0);
  EXPECT_TRUE(first.ClosedWithoutData());
  EXPECT_FALSE(waiting.ReadExact(1, 2000));  // closed (reset) without ever being served
  EXPECT_EQ(log_->Count(kArrived), 1);
}

TEST_F(ServerProtocolTest, PortInUseIsReportedAndTheRunServesNothing) {
  int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port() + 1);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  SetCurrentSettings(settings_);
  StartServer();
  EXPECT_TRUE(log_->WaitForLine("NetWorking Error 1005! Please Contact to Developers!"));
  ASSERT_TRUE(CurrentRun()->WaitForListenerClosed(5000));
  AdapterClient client;
  EXPECT_FALSE(client.Connect(port(), 1000));  // the request port is not left half-open
  Stop();
  ::close(blocker);

  address.sin_port = htons(port());
  blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  StartServer();
  EXPECT_TRUE(log_->WaitForLine("Networking Error 1002! Please Contact to Developers!"));
  Stop();
  ::close(blocker);
}

TEST_F(ServerProtocolTest, RestartRightAfterStopBindsAgainAndLeaksNothing) {
  for (int cycle = 0; cycle < 20; ++cycle) {
    Start();
    Request(test::Block("<2"));  // the server closes first: its side lingers in TIME_WAIT
    Stop();
  }
  EXPECT_EQ(log_->Count("Networking Error 1002! Please Contact to Developers!"), 0);
  EXPECT_EQ(log_->Count(kLeft), 20);
}

std::atomic<bool> g_failThreads{false};

TEST_F(ServerProtocolTest, ClientThreadThatCannotStartGivesItsSlotBack) {
  auto real = Sys().startThread;
  static decltype(real) s_real;
  s_real = real;
  Sys().startThread = [](std::function<void()> body) {
    return g_failThreads.load() ? false : s_real(std::move(body));
  };
  settings_.clientLimit = 1;
  Start();
  g_failThreads = true;
  AdapterClient refused;
  ASSERT_TRUE(refused.Connect(port()));
  EXPECT_TRUE(log_->WaitForLine("System Error 2002! Please Contact to Developers!"));
  EXPECT_TRUE(refused.ClosedWithoutData());
  EXPECT_EQ(ClientCount(), 0);
  g_failThreads = false;
  Request(test::Block("<2"));
  EXPECT_EQ(log_->Count(kLeft), 1);
}

TEST_F(ServerProtocolTest, DiscoveryEchoesTheProbeOnly) {
  Start();
  uint16_t udp = port() + 3;
  EXPECT_EQ(Probe(udp, "VE520", 5000), "VE520");
  EXPECT_EQ(Probe(udp, "VE520 and more", 5000), "VE520");
  EXPECT_EQ(Probe(udp, "VE52", 300), std::nullopt);
  EXPECT_EQ(Probe(udp, "ve520", 300), std::nullopt);
  EXPECT_EQ(Probe(udp, "VE521", 300), std::nullopt);
  EXPECT_EQ(Probe(udp, "", 300), std::nullopt);
  EXPECT_EQ(Probe(udp, "VE520", 5000), "VE520");  // still answering after the rubbish
  Stop();
  EXPECT_EQ(Probe(udp, "VE520", 300), std::nullopt);
  Start();
  EXPECT_EQ(Probe(udp, "VE520", 5000), "VE520");
}

TEST(DiscoveryRuleTest, NeverAnswersPrivilegedPortsOrItself) {
  sockaddr_in sender{};
  sender.sin_port = htons(7);  // echo
  EXPECT_FALSE(MayAnswer(sender, 4570));
  sender.sin_port = htons(4570);
  EXPECT_FALSE(MayAnswer(sender, 4570));
  sender.sin_port = htons(50000);
  EXPECT_TRUE(MayAnswer(sender, 4570));
}

TEST_F(ServerProtocolTest, DiscoveryPortInUseIsReportedOnce) {
  int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port() + 3);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  SetCurrentSettings(settings_);
  StartServer();
  std::string line =
      "Discovery port " + std::to_string(port() + 3) + " cannot be opened: Address already in use";
  EXPECT_TRUE(log_->WaitForLine(line));
  ASSERT_TRUE(CurrentRun()->WaitForListenerOpened(5000));
  Request(test::Block("<2"));  // requests are still served
  EXPECT_EQ(log_->Count(line), 1);
  Stop();
  ::close(blocker);
}

}  // namespace
}  // namespace rureza
