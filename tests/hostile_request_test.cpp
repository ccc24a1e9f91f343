// Hostile adapters on the request and discovery ports. Each case ends with the server serving
// the next ordinary request, no client left, descriptors and threads back at their baseline.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <random>
#include <thread>

#include "platform/poll.h"
#include "request/dispatcher.h"
#include "server/discovery.h"
#include "server/server.h"
#include "server/transfer.h"
#include "support/faults.h"
#include "support/kinds.h"
#include "support/reliability.h"

namespace rureza::test {
namespace {

using Clock = std::chrono::steady_clock;
using HostileRequestTest = HostileTest;
const std::string kLeaving = "127.0.0.1 is leaving......";

TEST_F(HostileRequestTest, NamesOutsideTheFolderOrOfNoFileAreRefusedWithoutBlocking) {
  // Root reads every file whatever its mode bits, so "unreadable" comes through the open seam.
  FailOpens("locked", EACCES);
  media_.Write("video_secret/x", "secret");  // a sibling whose name starts like video/
  media_.Write("x", "secret");
  const std::string strange = "\x01\x02\x1b[2J\x7f\xff\xfe\xc0\xaf";  // control chars, bad UTF-8
  const std::string endings[] = {".mp3", ".avi", ".jpg", ".mpg"};
  const std::filesystem::path folders[] = {audio(), video(), photo(), video()};
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(::mkfifo((folders[i] / ("pipe" + endings[i])).c_str(), 0644), 0);
    std::filesystem::create_symlink("/dev/zero", folders[i] / ("zero" + endings[i]));
    std::filesystem::create_directory(folders[i] / ("dir" + endings[i]));
    media_.Write(folders[i].filename().string() + "/locked" + endings[i], "x");
  }
  Begin();
  SetPathText(&settings_.firmwareFile, (audio() / "pipe.mp3").string());
  const std::vector<std::string> names = {
      "../../etc/passwd",
      "..\\..\\etc\\passwd",
      "/etc/passwd",
      "\\etc\\passwd",
      "./../x",
      "../video_secret/x",
      "..\\video_secret\\x",
      "a/../../x",
      "..",
      "",
      strange + ".mp3",
      std::string(253, 'n'),  // fills the block: no zero byte ends it
      "pipe",
      "zero",
      "dir",
      "locked"};
  for (int i = 0; i < 4; ++i) {
    const char type = char('1' + i);
    for (std::string name : names) {
      if (!name.empty() && name.size() < 7 && name.find_first_of("./\\") == std::string::npos) {
        name += endings[i];  // the FIFO, device, folder and locked names
      }
      const std::string line = (i < 2 ? "Can Not Open File : " : "Can Not Play File : ") +
                               folders[i].string() + "\\" +
                               (name.starts_with("./") ? name.substr(2) : name);
      const int before = log_->Count(line);
      const auto start = Clock::now();
      EXPECT_EQ(Exchange(Block(std::string("<3") + type + name)), "") << type << Printable(name);
      EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << name;
      EXPECT_EQ(log_->Count(line), before + 1) << Printable(name);
    }
  }
  // Control characters and invalid UTF-8 inside the folder are still a name, served as any.
  const std::string song = Media("audio/" + strange + ".mp3", OffsetBytes(50000));
  EXPECT_EQ(Exchange(Block("<31" + strange + ".mp3")), Block("50000") + song);
  ExpectRecovered();
  // A firmware image that is a FIFO: nothing announced, nothing waits.
  Stop();
  Start();
  EXPECT_EQ(Exchange(Block("<7")), "");
  EXPECT_EQ(log_->Count("Can Not Open File : " + (audio() / "pipe.mp3").string()), 1);
}

TEST_F(HostileRequestTest, MalformedShortAndDoubledBlocksGetNoReply) {
  Begin();
  std::mt19937 random(20240601);
  for (int i = 0; i < 20; ++i) {
    std::string junk(256, '\0');
    for (char& c : junk) c = static_cast<char>(random());
    junk[0] = junk[0] == '<' ? '>' : junk[0];
    EXPECT_EQ(Exchange(junk), "");
  }
  for (char c : std::string("0245689:\xff") + '\0') {
    EXPECT_EQ(Exchange(Block(std::string("<") + c + "1x.mp3")), "");
  }
  for (char c : std::string("059\xff") + '\0') {
    EXPECT_EQ(Exchange(Block(std::string("<3") + c + "x.mp3")), "");
  }
  EXPECT_EQ(log_->Count("Unknown command"), 10);
  EXPECT_EQ(log_->Count("Unknown format"), 5);
  // 0, 1 and 255 bytes, then the end of sending (the reply could still be read) or a reset.
  for (const std::string& bytes :
       {std::string(), std::string("<"), "<31" + std::string(252, 'a')}) {
    for (bool reset : {false, true}) {
      const int before = log_->Count(kLeaving);
      NoteInput(std::to_string(bytes.size()) + " bytes, then " +
                (reset ? "a reset" : "the end of sending"));
      AdapterConnection client;
      ASSERT_TRUE(client.Connect(LoopbackAddress(port())) && client.Send(bytes));
      reset ? client.Reset() : client.ShutdownWrite();
      EXPECT_TRUE(reset || client.ClosedWithoutData()) << bytes.size();
      EXPECT_TRUE(WaitUntil([&] { return log_->Count(kLeaving) > before; }));
    }
  }
  // Two blocks back to back: the first is served whole, the second never read.
  const std::string listing = Exchange(Block("<1")).value_or("x");
  const int plays = log_->Count("127.0.0.1 requests to play a MP3 file ::");
  EXPECT_EQ(Exchange(Block("<1") + Block("<31song.mp3")), listing);
  const std::string photo = Media("photo/big.jpg", PatternBytes(4 << 20));
  std::string reply = Exchange(Block("<33big.jpg") + Block("<1")).value_or("");
  EXPECT_EQ(reply.size(), 256 + ((photo.size() + 32766) / 32767) * 32767);
  EXPECT_TRUE(reply.compare(256, photo.size(), photo) == 0);
  EXPECT_EQ(log_->Count("127.0.0.1 requests to play a MP3 file ::"), plays);
  EXPECT_EQ(log_->Count("127.0.0.1 requests to list files"), 2);
  ExpectRecovered();
}

TEST_F(HostileRequestTest, ClientLimitFullBacklogAndMoreThenEverySlotComesBack) {
  settings_.clientLimit = 3;
  SetRequestTimeLimitMs(1000);
  Begin();
  std::vector<AdapterConnection> silent(3);
  for (AdapterConnection& client : silent) ASSERT_TRUE(client.Connect(LoopbackAddress(port())));
  ASSERT_TRUE(WaitUntil([] { return ClientCount() == 3; }));
  ASSERT_TRUE(log_->WaitForLine("Maximum users is 3, please connect later."));
  // The adapter behind them is served once their time is up, also that of one that sends a
  // byte now and then.
  AdapterConnection waiting = Play('1', "song.mp3");
  auto reply = std::async(std::launch::async, [&] { return waiting.ReadToClose(20000); });
  for (int i = 0; i < 10 && silent[0].Send("<"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  EXPECT_TRUE(reply.get() == Reply('a'));
  waiting.Close();
  // Then more than the limit and the backlog hold, all at once.
  for (AdapterConnection& client : silent) ASSERT_TRUE(client.Connect(LoopbackAddress(port())));
  std::vector<AdapterConnection> more(40);
  int connected = 0, most = 0;
  for (AdapterConnection& client : more) {
    connected += client.Connect(LoopbackAddress(port()), 300);
    most = std::max(most, ClientCount());
  }
  EXPECT_LE(most, 3);
  NoteInput("40 connections at once at a full limit of 3", connected);
  more.clear();
  silent.clear();
  ExpectRecovered();
}

TEST_F(HostileRequestTest, ThousandsOfConnectionsThatCloseAtOnce) {
  Begin();
  const int cycles = 10000 / kSlowdown;
  const auto deadline = Clock::now() + std::chrono::seconds(180);
  // Each connection is read once. The loop keeps just ahead of the server, so no SYN waits
  // in a full backlog for its second try.
  const int32_t readsBefore = Traffic().receiveCalls.load();
  int connected = 0;
  auto outstanding = [&] { return connected - (Traffic().receiveCalls.load() - readsBefore); };
  for (int i = 0; i < cycles && Clock::now() < deadline; ++i) {
    while (outstanding() >= 4 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    AdapterConnection client;
    if (!client.Connect(LoopbackAddress(port()), 5000)) continue;
    ++connected;
    i % 2 ? client.Reset() : client.Close();  // resets keep this side out of TIME_WAIT
  }
  EXPECT_EQ(connected, cycles);
  EXPECT_TRUE(WaitUntil([&] { return outstanding() == 0; }, 60000));
  EXPECT_TRUE(
      WaitUntil([&] { return log_->Count("New connection from 127.0.0.1") == connected; }, 60000));
  NoteInput("connect, then close or reset at once", connected);
  ExpectRecovered();
}

TEST_F(HostileRequestTest, DatagramsOfEverySizeAndABurstOfProbes) {
  Begin();
  const sockaddr_in udp = LoopbackAddress(uint16_t(port() + 3));
  const std::string largest = "VE520" + std::string(65507 - 5, 'x');
  const std::pair<std::string, std::optional<std::string>> datagrams[] = {
      {"", std::nullopt}, {largest, "VE520"}, {"v" + largest.substr(1), std::nullopt}};
  for (const auto& [payload, answer] : datagrams) {
    NoteInput("datagram of " + std::to_string(payload.size()) + " bytes: " + Printable(payload, 8));
    EXPECT_EQ(Probe(udp, payload, answer ? 5000 : 300), answer) << payload.size();
  }
  // A burst from one sender gets no more answers than the budget allows.
  Socket socket = Socket::NewUdp(nullptr);
  int size = 8 << 20;
  ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  const int burst = 100000 / kSlowdown;
  const auto start = Clock::now();
  int sent = 0, answers = 0;
  for (int i = 0; i < burst; ++i) sent += socket.SendTo("VE520", 5, udp) == 5;
  char answer[16];
  sockaddr_in from{};
  while (WaitReadable(socket.fd(), 500)) {
    answers += socket.ReceiveFrom(answer, sizeof answer, &from) == 5;
  }
  socket.Close();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(sent, burst);
  EXPECT_GT(answers, 0);
  EXPECT_LE(answers, kDiscoveryAnswerBurst + kDiscoveryAnswersPerSecond * seconds + 1);
  EXPECT_TRUE(WaitUntil([&] { return Probe(udp, "VE520", 100) == "VE520"; }, 5000));
  NoteInput("a burst of probes from one sender", burst);
  ExpectRecovered();
}

}  // namespace
}  // namespace rureza::test
