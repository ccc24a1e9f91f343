// The request block and media paths, and the live server on loopback: request lines, the client
// limit, time limits, Stop, restarts and discovery with its answer budget.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/syscalls.h"
#include "server/discovery.h"
#include "server/dispatcher.h"
#include "server/server.h"
#include "server/server_run.h"
#include "support/adapter_client.h"
#include "support/reliability_record.h"
#include "support/test_server.h"

namespace rureza {
namespace {

using test::AdapterClient;
using test::Block;
using test::Probe;
using test::WaitUntil;

TEST(RequestBlockTest, CommandsFormatsAndNames) {
  using K = Request::Kind;
  const std::string n(253, 'n');
  for (auto [text, kind, type, name] : std::vector<std::tuple<std::string, K, char, std::string>>{
           {"<1 anything", K::kList, 0, ""},
           {"<7whatever", K::kFirmware, 0, ""},
           {"<2", K::kUnknownCommand, 0, ""},
           {"<", K::kUnknownCommand, 0, ""},
           {"<35x.mp3", K::kUnknownFormat, 0, ""},
           {"<3", K::kUnknownFormat, 0, ""},
           {">1", K::kNone, 0, ""},
           {"", K::kNone, 0, ""},
           {"<34movie.mpg", K::kPlay, '4', "movie.mpg"},
           {"<31./song.mp3", K::kPlay, '1', "song.mp3"},  // only one "./" is dropped
           {"<31././song.mp3", K::kPlay, '1', "./song.mp3"},
           {"<31.hidden.mp3", K::kPlay, '1', ".hidden.mp3"},
           {"<31", K::kPlay, '1', ""},
           {"<32" + n, K::kPlay, '2', n},  // unterminated: to the end of the block
           {"<33./" + n, K::kPlay, '3', n.substr(2)}}) {
    uint8_t block[kRequestBlockSize] = {};
    std::memcpy(block, text.data(), std::min(text.size(), sizeof block));
    Request request = ParseRequestBlock(block);
    EXPECT_EQ(request.kind, kind) << text;
    if (kind != K::kPlay) continue;
    EXPECT_EQ(std::string(1, request.mediaType) + request.name, type + name);
  }
}

TEST(MediaPathTest, NamesThatCouldLeaveTheFolderAreRefused) {
  for (const char* bad : {"../../etc/passwd", "..\\..\\etc\\passwd", "/etc/passwd", "\\etc\\passwd",
                          "./../x", "..", "a/../../b", "a\\..", "../video_x/y"}) {
    EXPECT_FALSE(NameStaysInsideFolder(bad)) << bad;
    EXPECT_FALSE(JoinMediaPath("/srv/music", bad).servable) << bad;
  }
  for (const char* good : {"a..b.mp3", "song.mp3", "sub/song.mp3", "...", "..a", "a..", ""}) {
    EXPECT_TRUE(NameStaysInsideFolder(good)) << good;
    EXPECT_EQ(JoinMediaPath("/srv/music", good).text, "/srv/music\\" + std::string(good));
    EXPECT_TRUE(JoinMediaPath("/srv/music", good).servable) << good;
  }
  MediaPath rootless = JoinMediaPath("", "etc/passwd");  // would name a file under the root
  EXPECT_EQ(rootless.text, "\\etc/passwd");
  EXPECT_FALSE(rootless.servable);
  EXPECT_FALSE(OpenMediaFile(rootless).valid());
  ServerSettings s;
  SetPathText(&s.videoFolder, "V");
  SetPathText(&s.audioFolder, "A");
  SetPathText(&s.photoFolder, "P");
  std::string folders;
  for (char type : {'1', '2', '3', '4', '5'}) folders += MediaFolder(s, type) + ",";
  EXPECT_EQ(folders, "A,V,P,V,,");
}

TEST(DiscoveryRuleTest, NeverAnswersPrivilegedPortsOrItself) {
  for (auto [port, answered] : {std::pair{7, false}, {4570, false}, {1023, false}, {1024, true}}) {
    sockaddr_in sender{AF_INET, htons(uint16_t(port)), {}, {}};
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
  // The real budget answers two runs of 10,000 probes at 50,000 a second in full.
  AnswerBudget real(kDiscoveryAnswersPerSecond, kDiscoveryAnswerBurst);
  for (int i = 0; i < 20000; ++i) answered += real.Take(1000 + uint64_t(i) / 50);
  EXPECT_EQ(answered, 20020);
}

const std::string kArrived = "New connection from 127.0.0.1";
const std::string kLeft = "127.0.0.1 is leaving......";
const std::string kAtLimit = "Maximum users is 1, please connect later.";

class ServerProtocolTest : public test::ServerTest {
 protected:
  void TearDown() override {
    SetRequestTimeLimitMs(30000);
    SetDiscoveryAnswerBudget(kDiscoveryAnswersPerSecond, kDiscoveryAnswerBurst);
    test::ServerTest::TearDown();
    ResetSysCalls();
  }
  // Sends bytes, then waits until the connection is closed and counted out.
  void Request(const std::string& bytes, bool halfClose = false) {
    AdapterClient client;
    ASSERT_TRUE(client.Connect(port()));
    ASSERT_TRUE(client.SendRaw(bytes));
    if (halfClose) client.ShutdownWrite();
    EXPECT_TRUE(client.ClosedWithoutData());
    ASSERT_TRUE(log_->WaitForLine(kLeft));
    ASSERT_TRUE(WaitUntil([] { return ClientCount() == 0; }));
  }
  // A socket of type bound to port on every interface, listening when TCP.
  static int Bound(int type, int port) {
    int fd = ::socket(AF_INET, type, 0);
    sockaddr_in address{AF_INET, htons(uint16_t(port)), {htonl(INADDR_ANY)}, {}};
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (type == SOCK_STREAM) ::listen(fd, 1);
    return fd;
  }
};

TEST_F(ServerProtocolTest, RequestsAreLoggedAndTheirConnectionsClosed) {
  Start();
  const std::string path = audio().string() + "\\song.mp3";
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
            3}}) {
    log_->Reset();
    int16_t before = LogLineCount();
    Request(bytes, halfClose);
    lines.insert(lines.begin(), kArrived);
    lines.push_back(kLeft);
    EXPECT_EQ(log_->AllLines(), lines);
    EXPECT_EQ(LogLineCount() - before, counted) << lines[1];
  }
}

TEST_F(ServerProtocolTest, SlowOrSilentClientLosesItsSlotAfterTheTimeLimit) {
  SetRequestTimeLimitMs(300);
  Start();
  AdapterClient silent, trickle;
  ASSERT_TRUE(silent.Connect(port()) && trickle.Connect(port()));
  ASSERT_TRUE(WaitUntil([] { return ClientCount() == 2; }));
  for (int i = 0; i < 5 && ClientCount() > 0; ++i) {
    trickle.SendRaw("<");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(WaitUntil([] { return ClientCount() == 0; }));
  EXPECT_TRUE(silent.ClosedWithoutData() && trickle.ClosedWithoutData());
  EXPECT_EQ(log_->Count("Unknown command"), 1);  // "<<"; the silent one gets no line
}

TEST_F(ServerProtocolTest, ClientLimitHoldsConnectionsInTheBacklogWithoutFlooding) {
  settings_.clientLimit = 1;
  Start();
  AdapterClient first, second;
  ASSERT_TRUE(first.Connect(port()));
  ASSERT_TRUE(log_->WaitForLine(kAtLimit));
  ASSERT_TRUE(second.Connect(port()));  // completes in the backlog
  EXPECT_TRUE(second.SilentFor(1300));  // past the listener's 1 s watch: no repeated line
  EXPECT_EQ(log_->Count(kArrived), 1);
  EXPECT_EQ(log_->Count(kAtLimit), 1);
  ASSERT_TRUE(first.SendBlock("<2"));
  EXPECT_TRUE(first.ClosedWithoutData());
  // The limit is reached again once the second is taken; it must still be there to be served.
  ASSERT_TRUE(WaitUntil([&] { return log_->Count(kAtLimit) == 2; }));
  ASSERT_TRUE(second.SendBlock("<2"));
  EXPECT_TRUE(second.ClosedWithoutData());
  ASSERT_TRUE(WaitUntil([&] { return log_->Count(kLeft) == 2; }));
  EXPECT_EQ(log_->Count(kAtLimit), 2);  // once per reaching, never repeated while waiting
}

TEST_F(ServerProtocolTest, StopEndsWaitingConnectionsAndTheListenerPromptly) {
  for (int limit : {10, 1}) {
    if (HasFatalFailure()) return;
    settings_.clientLimit = limit;
    Start();
    AdapterClient first, waiting;
    ASSERT_TRUE(first.Connect(port()));
    ASSERT_TRUE(limit > 1 || log_->WaitForLine(kAtLimit));
    ASSERT_TRUE(waiting.Connect(port()));
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

TEST_F(ServerProtocolTest, PortInUseIsReportedOnce) {
  for (auto [type, offset, line] : std::vector<std::tuple<int, int, std::string>>{
           {SOCK_STREAM, 1, "NetWorking Error 1005! Please Contact to Developers!"},
           {SOCK_STREAM, 0, "Networking Error 1002! Please Contact to Developers!"},
           {SOCK_DGRAM, 3,
            "Discovery port " + std::to_string(port() + 3) +
                " cannot be opened: Address already in use"}}) {
    int blocker = Bound(type, port() + offset);
    SetCurrentSettings(settings_);
    StartServer();
    EXPECT_TRUE(log_->WaitForLine(line));
    if (offset == 1) {  // nothing is served; the request port is not left half-open
      ASSERT_TRUE(CurrentRun()->WaitForListenerClosed(5000));
      EXPECT_FALSE(AdapterClient().Connect(port(), 1000));
    } else if (offset == 3) {  // requests are still served
      ASSERT_TRUE(CurrentRun()->WaitForListenerOpened(5000));
      Request(Block("<2"));
    }
    EXPECT_EQ(log_->Count(line), 1);
    Stop();
    ::close(blocker);
  }
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

std::atomic<bool> g_failThreads{false};
bool (*g_realStartThread)(std::function<void()>);

TEST_F(ServerProtocolTest, ClientThreadThatCannotStartGivesItsSlotBack) {
  g_realStartThread = Sys().startThread;
  Sys().startThread = [](std::function<void()> body) {
    return !g_failThreads && g_realStartThread(std::move(body));
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
  Request(Block("<2"));
}

TEST_F(ServerProtocolTest, DiscoveryEchoesTheProbeOnly) {
  Start();
  const uint16_t udp = port() + 3;
  for (const char* probe : {"VE520", "VE520 and more"}) {
    EXPECT_EQ(Probe(udp, probe, 5000), "VE520") << probe;
  }
  for (const char* probe : {"VE52", "ve520", "VE521", ""}) {
    EXPECT_EQ(Probe(udp, probe, 300), std::nullopt) << probe;
  }
  EXPECT_EQ(Probe(udp, "VE520", 5000), "VE520");  // still answering after the rubbish
  Stop();
  EXPECT_EQ(Probe(udp, "VE520", 300), std::nullopt);
  Start();
  EXPECT_EQ(Probe(udp, "VE520", 5000), "VE520");
}

// A flood of probes, or an echo service bouncing every answer back, gets no more answers than
// the budget, and the responder answers again once it refills.
TEST_F(ServerProtocolTest, FloodOrEchoLoopGetsNoMoreThanTheBudget) {
  SetDiscoveryAnswerBudget(/*perSecond=*/50, /*burst=*/100);
  for (bool echo : {false, true}) {
    Start();
    int fd = Bound(SOCK_DGRAM, 0);
    int size = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in to{AF_INET, htons(uint16_t(port() + 3)), {htonl(INADDR_LOOPBACK)}, {}};
    auto send = [&](std::string_view p) {
      ::sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < (echo ? 1 : 3000); ++i) send("VE520");
    int answers = 0;
    char buffer[64];
    for (pollfd item{fd, POLLIN, 0}; ::poll(&item, 1, 300) == 1 && answers < 1000;) {
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      answers += std::string_view(buffer, size_t(std::max<ssize_t>(n, 0))) == "VE520";
      if (echo) send(std::string_view(buffer, size_t(std::max<ssize_t>(n, 0))));
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(answers, echo ? 100 : 50);
    EXPECT_LE(answers, 100 + 50 * seconds + 1) << seconds << " s";
    EXPECT_TRUE(WaitUntil([&] { return Probe(port() + 3, "VE520", 100) == "VE520"; }, 5000));
    test::RecordInput("datagrams", (echo ? "an echo service bouncing every answer back (loop "
                                           "broken after "
                                         : "3,000 probes at a budget of 50/s, bursts of 100 (") +
                                       std::to_string(answers) +
                                       (echo ? " answers)" : " answered)"));
    ::close(fd);
    Stop();
  }
}

}  // namespace
}  // namespace rureza
