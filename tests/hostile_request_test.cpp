// Hostile adapters on the request and discovery ports: names that would leave their folder,
// names of things that are not files, blocks that are malformed, short or doubled, the client
// limit under a flood, thousands of connections that close at once, and datagrams of every
// size. Each case ends with the server serving the next ordinary request, no client left and
// descriptors and threads back at their baseline.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <random>
#include <thread>

#include "delivery/listing_record.h"
#include "delivery/stream_blocks.h"
#include "platform/syscalls.h"
#include "server/discovery.h"
#include "server/dispatcher.h"
#include "server/server.h"
#include "server/transfer.h"
#include "support/hostile.h"

namespace rureza {
namespace {

using test::AdapterClient;
using test::Printable;
using test::RecordInput;
using test::WaitUntil;
using Clock = std::chrono::steady_clock;

const std::string kArrived = "New connection from 127.0.0.1";

using HostileRequestTest = test::HostileTest;

// How the delivery of a media type digit reports a file it cannot serve.
std::string RefusalLine(char type) {
  return type == '1' || type == '2' ? "Can Not Open File : " : "Can Not Play File : ";
}

TEST_F(HostileRequestTest, NamesThatWouldLeaveTheirFolderAreNeverServed) {
  // Beside the media tree's folders: one whose name starts like video/, and a plain file.
  media_.Write("video_secret/x", "secret");
  media_.Write("x", "secret");
  const std::string strange = "\x01\x02\x1b[2J\x7f\xff\xfe\xc0\xaf";  // control chars, bad UTF-8
  Begin();
  const std::vector<std::string> names = {
      "../../etc/passwd",    "..\\..\\etc\\passwd", "/etc/passwd", "\\etc\\passwd", "./../x",
      "../video_secret/x",   "..\\video_secret\\x", "../x",        "a/../../x",     "..",
      std::string(253, 'n'), strange + ".mp3"};
  const std::string folders[] = {audio().string(), video().string(), photo().string(),
                                 video().string()};
  for (char type : {'1', '2', '3', '4'}) {
    const std::string& folder = folders[type - '1'];
    for (const std::string& name : names) {
      // A 253-byte name fills the block: no zero byte ends it.
      std::string block = test::Block(std::string("<3") + type + name);
      std::string shown = name.rfind("./", 0) == 0 ? name.substr(2) : name;
      const std::string refusal = RefusalLine(type) + folder + "\\" + shown;
      const int before = log_->Count(refusal);
      EXPECT_EQ(Exchange(block), "") << type << " " << Printable(name);
      EXPECT_EQ(log_->Count(refusal), before + 1) << Printable(name);
      RecordInput("names that leave the folder or name nothing", Printable(name));
    }
  }
  // A name with control characters and invalid UTF-8 is still a name: inside its folder, it is
  // served like any other.
  const std::string song = Media("audio/" + strange + ".mp3", test::OffsetBytes(50000));
  EXPECT_EQ(Exchange(test::Block("<31" + strange + ".mp3")), LengthBlock(50000) + song);
  RecordInput("names that leave the folder or name nothing", "existing name " + Printable(strange),
              1);
  ExpectRecovered();
}

int OpenRefusingLocked(const char* path, int flags, unsigned mode) {
  if (std::strstr(path, "locked")) {
    errno = EACCES;
    return -1;
  }
  return ::open(path, flags, static_cast<mode_t>(mode));
}

TEST_F(HostileRequestTest, FifoDeviceFolderAndUnreadableNamesNeverBlockTheOpen) {
  // Root reads every file whatever its mode bits, so "unreadable" comes through the open seam.
  Sys().open = OpenRefusingLocked;
  const std::pair<char, std::string> kinds[] = {
      {'1', ".mp3"}, {'2', ".avi"}, {'3', ".jpg"}, {'4', ".mpg"}};
  const std::string folders[] = {audio().string(), video().string(), photo().string(),
                                 video().string()};
  for (const auto& [type, ending] : kinds) {
    std::filesystem::path folder = folders[type - '1'];
    ASSERT_EQ(::mkfifo((folder / ("pipe" + ending)).c_str(), 0644), 0);
    std::filesystem::create_symlink("/dev/zero", folder / ("zero" + ending));
    std::filesystem::create_symlink("/dev/null", folder / ("null" + ending));
    std::filesystem::create_directory(folder / ("dir" + ending));
    media_.Write(folder.filename().string() + "/locked" + ending, "x");
  }
  SetPathText(&settings_.firmwareFile, (audio() / "pipe.mp3").string());
  Begin();
  for (const auto& [type, ending] : kinds) {
    for (std::string name : {"pipe", "zero", "null", "dir", "locked"}) {
      name += ending;
      const auto start = Clock::now();
      EXPECT_EQ(Exchange(test::Block(std::string("<3") + type + name)), "") << name;
      EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << name;
      EXPECT_EQ(log_->Count(RefusalLine(type) + folders[type - '1'] + "\\" + name), 1) << name;
      RecordInput("FIFO, device, folder and unreadable names", std::string(1, type) + " " + name);
    }
  }
  // A firmware image that is a FIFO: nothing is announced, nothing waits.
  EXPECT_EQ(Exchange(test::Block("<7")), "");
  EXPECT_EQ(log_->Count("Can Not Open File : " + (audio() / "pipe.mp3").string()), 1);
  RecordInput("FIFO, device, folder and unreadable names", "firmware image that is a FIFO");
  ExpectRecovered();
}

TEST_F(HostileRequestTest, MalformedShortAndDoubledBlocksGetNoReply) {
  Begin();
  std::mt19937 random(20240601);
  for (int i = 0; i < 20; ++i) {
    std::string junk(256, '\0');
    for (char& c : junk) c = static_cast<char>(random());
    if (junk[0] == '<') junk[0] = '>';
    EXPECT_EQ(Exchange(junk), "");
    RecordInput("first byte not \"<\"", Printable(junk, 24));
  }
  for (char command : std::string("0245689:\xff") + '\0') {
    EXPECT_EQ(Exchange(test::Block(std::string("<") + command + "1x.mp3")), "");
    RecordInput("unknown command digit", Printable(std::string("<") + command));
  }
  for (char type : std::string("059\xff") + '\0') {
    EXPECT_EQ(Exchange(test::Block(std::string("<3") + type + "x.mp3")), "");
    RecordInput("unknown media type digit", Printable(std::string("<3") + type));
  }
  EXPECT_EQ(log_->Count("Unknown command"), 10);
  EXPECT_EQ(log_->Count("Unknown format"), 5);

  // 0, 1 and 255 bytes, then the end of sending (the reply could still be read), or a reset.
  const std::string partial[] = {"", "<", "<31" + std::string(252, 'a')};
  for (const std::string& bytes : partial) {
    for (bool reset : {false, true}) {
      const int before = log_->Count("127.0.0.1 is leaving......");
      AdapterClient client;
      ASSERT_TRUE(client.Connect(port()));
      client.SendRaw(bytes);
      if (reset) {
        client.Reset();
      } else {
        client.ShutdownWrite();
        EXPECT_TRUE(client.ClosedWithoutData()) << bytes.size();
      }
      EXPECT_TRUE(WaitUntil([&] { return log_->Count("127.0.0.1 is leaving......") > before; }));
      RecordInput("blocks cut short", std::to_string(bytes.size()) + " bytes, then " +
                                          (reset ? "a reset" : "the end of sending"));
    }
  }

  // Two blocks back to back: the first is served whole, the second never read.
  const std::string listing = Exchange(test::Block("<1")).value_or("x");
  const int plays = log_->Count("127.0.0.1 requests to play a MP3 file ::");
  EXPECT_EQ(Exchange(test::Block("<1") + test::Block("<31ordinary.mp3")), listing);
  const std::string photo = Media("photo/big.jpg", test::PatternBytes(4 << 20));
  std::string reply = Exchange(test::Block("<33big.jpg") + test::Block("<1")).value_or("");
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
  // A real adapter behind them is served once their time is up, also that of the one that
  // sends a byte now and then.
  AdapterClient waiting = Play('1', "ordinary.mp3");
  std::future<std::optional<std::string>> reply =
      std::async(std::launch::async, [&] { return waiting.ReadToClose(20000); });
  for (int i = 0; i < 10 && silent[0].SendRaw("<"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  EXPECT_TRUE(reply.get() == LengthBlock(int32_t(ordinary().size())) + ordinary());
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
  for (AdapterClient& client : more) client.Close();
  for (AdapterClient& client : silent) client.Close();
  RecordInput("client limit and backlog",
              "40 more connections at once, " + std::to_string(connected) + " completed");
  ExpectRecovered();
}

TEST_F(HostileRequestTest, ThousandsOfConnectionsThatCloseAtOnce) {
  Begin();
  const int cycles = 10000 / test::kSlowdown;
  const auto deadline = Clock::now() + std::chrono::seconds(180);
  // Every connection is read once; the listen backlog holds five, and a connection beyond it
  // waits a second for the kernel to send its SYN again, so the loop stays just ahead.
  const int32_t readsBefore = Traffic().receiveCalls.load();
  auto outstanding = [&](int connected) {
    return connected - (Traffic().receiveCalls.load() - readsBefore);
  };
  int connected = 0;
  for (int i = 0; i < cycles && Clock::now() < deadline; ++i) {
    while (outstanding(connected) >= 4 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    AdapterClient client;
    if (!client.Connect(port(), 5000)) continue;
    ++connected;
    // Half of them reset, which also keeps this side's ports out of TIME_WAIT.
    i % 2 ? client.Reset() : client.Close();
  }
  EXPECT_EQ(connected, cycles);
  EXPECT_TRUE(WaitUntil([&] { return outstanding(connected) == 0; }, 60000));
  EXPECT_TRUE(WaitUntil([&] { return log_->Count(kArrived) == connected; }, 60000))
      << log_->Count(kArrived) << " of " << connected;
  RecordInput("connect and close at once", "connect, then close or reset at once", connected);
  ExpectRecovered();
}

// A UDP socket on 127.0.0.1 with a large receive buffer.
class UdpPeer {
 public:
  UdpPeer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 8 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  ~UdpPeer() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool SendTo(uint16_t port, std::string_view payload) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(payload.size());
  }
  std::optional<std::string> Receive(int timeoutMs) {
    pollfd item{fd_, POLLIN, 0};
    if (::poll(&item, 1, timeoutMs) != 1) return std::nullopt;
    std::string buffer(65536, '\0');
    ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n < 0) return std::nullopt;
    buffer.resize(size_t(n));
    return buffer;
  }

 private:
  int fd_ = -1;
};

TEST_F(HostileRequestTest, DatagramsOfEverySizeAndABurstOfProbes) {
  Begin();
  const uint16_t udp = static_cast<uint16_t>(port() + 3);
  UdpPeer peer;
  ASSERT_TRUE(peer.SendTo(udp, ""));
  EXPECT_EQ(peer.Receive(300), std::nullopt);
  std::string largest = "VE520" + std::string(65507 - 5, 'x');
  ASSERT_TRUE(peer.SendTo(udp, largest));
  EXPECT_EQ(peer.Receive(5000), "VE520");
  largest[0] = 'v';
  ASSERT_TRUE(peer.SendTo(udp, largest));
  EXPECT_EQ(peer.Receive(300), std::nullopt);
  RecordInput("datagrams", "0 bytes");
  RecordInput("datagrams", "65,507 bytes starting with VE520");
  RecordInput("datagrams", "65,507 bytes of something else");

  const int burst = 100000 / test::kSlowdown;
  const auto start = Clock::now();
  int sent = 0;
  for (int i = 0; i < burst; ++i) sent += peer.SendTo(udp, "VE520");
  int answers = 0;
  while (auto answer = peer.Receive(500)) answers += *answer == "VE520";
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(sent, burst);
  EXPECT_GT(answers, 0);
  EXPECT_LE(answers, kDiscoveryAnswerBurst + kDiscoveryAnswersPerSecond * seconds + 1);
  EXPECT_TRUE(WaitUntil([&] { return test::Probe(udp, "VE520", 100) == "VE520"; }, 5000));
  RecordInput("datagrams",
              "a burst of probes from one sender (" + std::to_string(answers) + " answered in " +
                  std::to_string(int(seconds * 1000)) + " ms)",
              burst);
  peer.Close();
  ExpectRecovered();
}

}  // namespace
}  // namespace rureza
