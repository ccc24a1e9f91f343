// Hostile adapters on the request and discovery ports. Each case ends with the server serving
// the next ordinary request, no client left, descriptors and threads back at their baseline.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <random>
#include <thread>

#include "delivery/stream_blocks.h"
#include "platform/syscalls.h"
#include "server/discovery.h"
#include "server/dispatcher.h"
#include "server/server.h"
#include "server/transfer.h"
#include "support/hostile.h"

namespace rureza::test {
namespace {

using Clock = std::chrono::steady_clock;
using HostileRequestTest = HostileTest;
const std::string kLeaving = "127.0.0.1 is leaving......";

TEST_F(HostileRequestTest, NamesOutsideTheFolderOrOfNoFileAreRefusedWithoutBlocking) {
  // Root reads every file whatever its mode bits, so "unreadable" comes through the open seam.
  Sys().open = [](const char* path, int flags, unsigned mode) {
    if (std::strstr(path, "locked")) return errno = EACCES, -1;
    return ::open(path, flags, mode_t(mode));
  };
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
  SetPathText(&settings_.firmwareFile, (audio() / "pipe.mp3").string());
  Begin();
  const std::pair<const char*, std::vector<std::string>> groups[] = {
      {"names that leave the folder or name nothing",
       {"../../etc/passwd", "..\\..\\etc\\passwd", "/etc/passwd", "\\etc\\passwd", "./../x",
        "../video_secret/x", "..\\video_secret\\x", "a/../../x", "..",
        std::string(253, 'n') /* fills the block: no zero byte ends it */, strange + ".mp3"}},
      {"FIFO, device, folder and unreadable names", {"pipe", "zero", "dir", "locked"}}};
  for (int i = 0; i < 4; ++i) {
    const char type = char('1' + i);
    for (const auto& [group, names] : groups) {
      for (std::string name : names) {
        if (group[0] == 'F') name += endings[i];
        const std::string line = (i < 2 ? "Can Not Open File : " : "Can Not Play File : ") +
                                 folders[i].string() + "\\" +
                                 (name.rfind("./", 0) ? name : name.substr(2));
        const int before = log_->Count(line);
        const auto start = Clock::now();
        EXPECT_EQ(Exchange(Block(std::string("<3") + type + name)), "") << type << Printable(name);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << name;
        EXPECT_EQ(log_->Count(line), before + 1) << Printable(name);
        RecordInput(group, std::string(1, type) + " " + Printable(name));
      }
    }
  }
  // A firmware image that is a FIFO: nothing announced, nothing waits.
  EXPECT_EQ(Exchange(Block("<7")), "");
  EXPECT_EQ(log_->Count("Can Not Open File : " + (audio() / "pipe.mp3").string()), 1);
  RecordInput("FIFO, device, folder and unreadable names", "firmware image that is a FIFO");
  // Control characters and invalid UTF-8 inside the folder are still a name, served as any.
  const std::string song = Media("audio/" + strange + ".mp3", OffsetBytes(50000));
  EXPECT_EQ(Exchange(Block("<31" + strange + ".mp3")), LengthBlock(50000) + song);
  RecordInput("names that leave the folder or name nothing", "existing " + Printable(strange));
  ExpectRecovered();
}

TEST_F(HostileRequestTest, MalformedShortAndDoubledBlocksGetNoReply) {
  Begin();
  std::mt19937 random(20240601);
  for (int i = 0; i < 20; ++i) {
    std::string junk(256, '\0');
    for (char& c : junk) c = static_cast<char>(random());
    junk[0] = junk[0] == '<' ? '>' : junk[0];
    EXPECT_EQ(Exchange(junk), "");
    RecordInput("first byte not \"<\"", Printable(junk, 24));
  }
  for (char c : std::string("0245689:\xff") + '\0') {
    EXPECT_EQ(Exchange(Block(std::string("<") + c + "1x.mp3")), "");
    RecordInput("unknown command digit", Printable(std::string("<") + c));
  }
  for (char c : std::string("059\xff") + '\0') {
    EXPECT_EQ(Exchange(Block(std::string("<3") + c + "x.mp3")), "");
    RecordInput("unknown media type digit", Printable(std::string("<3") + c));
  }
  EXPECT_EQ(log_->Count("Unknown command"), 10);
  EXPECT_EQ(log_->Count("Unknown format"), 5);
  // 0, 1 and 255 bytes, then the end of sending (the reply could still be read) or a reset.
  for (const std::string& bytes :
       {std::string(), std::string("<"), "<31" + std::string(252, 'a')}) {
    for (bool reset : {false, true}) {
      const int before = log_->Count(kLeaving);
      AdapterClient client;
      ASSERT_TRUE(client.Connect(port()) && client.SendRaw(bytes));
      reset ? client.Reset() : client.ShutdownWrite();
      EXPECT_TRUE(reset || client.ClosedWithoutData()) << bytes.size();
      EXPECT_TRUE(WaitUntil([&] { return log_->Count(kLeaving) > before; }));
      RecordInput("blocks cut short", std::to_string(bytes.size()) + " bytes, then " +
                                          (reset ? "a reset" : "the end of sending"));
    }
  }
  // Two blocks back to back: the first is served whole, the second never read.
  const std::string listing = Exchange(Block("<1")).value_or("x");
  const int plays = log_->Count("127.0.0.1 requests to play a MP3 file ::");
  EXPECT_EQ(Exchange(Block("<1") + Block("<31ordinary.mp3")), listing);
  const std::string photo = Media("photo/big.jpg", PatternBytes(4 << 20));
  std::string reply = Exchange(Block("<33big.jpg") + Block("<1")).value_or("");
  EXPECT_EQ(reply.size(), 256 + ((photo.size() + 32766) / 32767) * 32767);
  EXPECT_TRUE(reply.compare(256, photo.size(), photo) == 0);
  EXPECT_EQ(log_->Count("127.0.0.1 requests to play a MP3 file ::"), plays);
  EXPECT_EQ(log_->Count("127.0.0.1 requests to list files"), 2);
  RecordInput("two request blocks back to back", "<1 then <31ordinary.mp3");
  RecordInput("two request blocks back to back", "<33big.jpg (4 MiB) then <1");
  ExpectRecovered();
}

TEST_F(HostileRequestTest, ClientLimitFullBacklogAndMoreThenEverySlotComesBack) {
  settings_.clientLimit = 3;
  SetRequestTimeLimitMs(1000);
  Begin();
  std::vector<AdapterClient> silent(3);
  for (AdapterClient& client : silent) ASSERT_TRUE(client.Connect(port()));
  ASSERT_TRUE(WaitUntil([] { return ClientCount() == 3; }));
  ASSERT_TRUE(log_->WaitForLine("Maximum users is 3, please connect later."));
  // The adapter behind them is served once their time is up, also that of one that sends a
  // byte now and then.
  AdapterClient waiting = Play('1', "ordinary.mp3");
  auto reply = std::async(std::launch::async, [&] { return waiting.ReadToClose(20000); });
  for (int i = 0; i < 10 && silent[0].SendRaw("<"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  EXPECT_TRUE(reply.get() == served_);
  waiting.Close();
  RecordInput(
      "client limit and backlog",
      "3 clients at a limit of 3, silent or sending a byte every 300 ms; one adapter behind");
  // Then more than the limit and the backlog hold, all at once.
  for (AdapterClient& client : silent) ASSERT_TRUE(client.Connect(port()));
  std::vector<AdapterClient> more(40);
  int connected = 0, most = 0;
  for (AdapterClient& client : more) {
    connected += client.Connect(port(), 300);
    most = std::max(most, ClientCount());
  }
  EXPECT_LE(most, 3);
  EXPECT_GE(connected, 5);  // at least the backlog's worth completes
  more.clear();
  silent.clear();
  RecordInput("client limit and backlog",
              "40 more connections at once, " + std::to_string(connected) + " completed");
  ExpectRecovered();
}

TEST_F(HostileRequestTest, ThousandsOfConnectionsThatCloseAtOnce) {
  Begin();
  const int cycles = 10000 / kSlowdown;
  const auto deadline = Clock::now() + std::chrono::seconds(180);
  // Each connection is read once. The backlog holds five, and one beyond it waits a second for
  // its SYN to be sent again, so the loop keeps just ahead of the server.
  const int32_t readsBefore = Traffic().receiveCalls.load();
  int connected = 0;
  auto outstanding = [&] { return connected - (Traffic().receiveCalls.load() - readsBefore); };
  for (int i = 0; i < cycles && Clock::now() < deadline; ++i) {
    while (outstanding() >= 4 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    AdapterClient client;
    if (!client.Connect(port(), 5000)) continue;
    ++connected;
    i % 2 ? client.Reset() : client.Close();  // resets keep this side out of TIME_WAIT
  }
  EXPECT_EQ(connected, cycles);
  EXPECT_TRUE(WaitUntil([&] { return outstanding() == 0; }, 60000));
  EXPECT_TRUE(
      WaitUntil([&] { return log_->Count("New connection from 127.0.0.1") == connected; }, 60000));
  RecordInput("connect and close at once", "connect, then close or reset at once", connected);
  ExpectRecovered();
}

TEST_F(HostileRequestTest, DatagramsOfEverySizeAndABurstOfProbes) {
  Begin();
  const uint16_t udp = static_cast<uint16_t>(port() + 3);
  const std::string largest = "VE520" + std::string(65507 - 5, 'x');
  const std::pair<std::string, std::optional<std::string>> datagrams[] = {
      {"", std::nullopt}, {largest, "VE520"}, {"v" + largest.substr(1), std::nullopt}};
  for (const auto& [payload, answer] : datagrams) {
    EXPECT_EQ(Probe(udp, payload, answer ? 5000 : 300), answer) << payload.size();
    RecordInput("datagrams", payload.empty()     ? "0 bytes"
                             : payload[0] == 'V' ? "65,507 bytes starting with VE520"
                                                 : "65,507 bytes of something else");
  }
  // A burst from one sender gets no more answers than the budget allows.
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), size = 8 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in to{AF_INET, htons(udp), {htonl(INADDR_LOOPBACK)}, {}};
  const int burst = 100000 / kSlowdown;
  const auto start = Clock::now();
  int sent = 0, answers = 0;
  for (int i = 0; i < burst; ++i) {
    sent += ::sendto(fd, "VE520", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == 5;
  }
  char answer[16];
  for (pollfd item{fd, POLLIN, 0}; ::poll(&item, 1, 500) == 1;) {
    answers += ::recv(fd, answer, sizeof answer, 0) == 5 && !std::memcmp(answer, "VE520", 5);
  }
  ::close(fd);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(sent, burst);
  EXPECT_GT(answers, 0);
  EXPECT_LE(answers, kDiscoveryAnswerBurst + kDiscoveryAnswersPerSecond * seconds + 1);
  EXPECT_TRUE(WaitUntil([&] { return Probe(udp, "VE520", 100) == "VE520"; }, 5000));
  RecordInput("datagrams",
              "a burst of probes from one sender (" + std::to_string(answers) + " answered in " +
                  std::to_string(int(seconds * 1000)) + " ms)",
              burst);
  ExpectRecovered();
}

}  // namespace
}  // namespace rureza::test
