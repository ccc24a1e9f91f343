// Faults injected through the system-call seam into the live server, each checked for the
// outcome the code promises: transfers cut into single bytes and interrupted, sends that fail
// with a reset or a broken pipe in the middle of every kind of reply, receives that report a
// close, accepts that fail, threads that cannot start, file opens and reads that fail or come
// back short. (SendAll and ReceiveAll on their own, a client thread that cannot start, audio and
// still-image read errors and a failed send in the listing have tests of their own.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "delivery/stream_blocks.h"
#include "platform/syscalls.h"
#include "platform/thread.h"
#include "server/server.h"
#include "server/server_run.h"
#include "server/transfer.h"
#include "support/delivery_support.h"
#include "support/hostile.h"

namespace rureza {
namespace {

using test::AdapterClient;
using test::Command;
using test::kBlock;
using test::kLongReadMs;
using test::RecordFault;
using test::WaitUntil;

// What the injected calls do; set before the server starts, changed only through atomics.
std::atomic<uint64_t> g_calls{0};
std::atomic<int64_t> g_sendBudget{-1};  // bytes before sends fail; -1: no limit
std::atomic<int> g_sendErrno{ECONNRESET};
std::atomic<bool> g_receivesSeeAClose{false};
std::atomic<int> g_startCount{0};
std::atomic<int> g_failStart{-1};  // the start (counted from 0) that fails
std::atomic<int> g_openErrno{0};
decltype(SysCalls::startThread) g_realStart;

std::mutex g_acceptMutex;
std::deque<int> g_acceptFaults;  // guarded by g_acceptMutex

// Every third call is interrupted; every other call moves one byte only.
template <typename Call>
ssize_t Shortened(size_t length, Call call) {
  uint64_t n = g_calls++;
  if (n % 3 == 2) {
    errno = EINTR;
    return -1;
  }
  return call(n % 2 ? std::min<size_t>(length, 1) : length);
}

ssize_t ShortSend(int fd, const void* data, size_t length, int flags) {
  return Shortened(length, [&](size_t n) { return ::send(fd, data, n, flags); });
}
ssize_t ShortRecv(int fd, void* buffer, size_t length, int flags) {
  return Shortened(length, [&](size_t n) { return ::recv(fd, buffer, n, flags); });
}
ssize_t ShortRead(int fd, void* buffer, size_t length) {
  return Shortened(length, [&](size_t n) { return ::read(fd, buffer, n); });
}
ssize_t ShortSplice(int in, loff_t* inOffset, int out, loff_t* outOffset, size_t length,
                    unsigned flags) {
  return Shortened(length,
                   [&](size_t n) { return ::splice(in, inOffset, out, outOffset, n, flags); });
}
ssize_t ShortSendfile(int out, int in, off_t* offset, size_t count) {
  return Shortened(count, [&](size_t n) { return ::sendfile(out, in, offset, n); });
}

bool IsSocket(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
}

// Sends fail once the budget of bytes is spent, by whichever call reaches the socket.
template <typename Call>
ssize_t Budgeted(size_t length, Call call) {
  int64_t budget = g_sendBudget.load();
  if (budget < 0) return call(length);
  if (budget == 0) {
    errno = g_sendErrno.load();
    return -1;
  }
  ssize_t sent = call(std::min<size_t>(length, size_t(budget)));
  if (sent > 0) g_sendBudget -= sent;
  return sent;
}

ssize_t BudgetSend(int fd, const void* data, size_t length, int flags) {
  return Budgeted(length, [&](size_t n) { return ::send(fd, data, n, flags); });
}
// File bytes reach the socket through splice (from a pipe) and sendfile as well.
ssize_t BudgetSplice(int in, loff_t* inOffset, int out, loff_t* outOffset, size_t length,
                     unsigned flags) {
  if (!IsSocket(out)) return ::splice(in, inOffset, out, outOffset, length, flags);
  return Budgeted(length,
                  [&](size_t n) { return ::splice(in, inOffset, out, outOffset, n, flags); });
}
ssize_t BudgetSendfile(int out, int in, off_t* offset, size_t count) {
  return Budgeted(count, [&](size_t n) { return ::sendfile(out, in, offset, n); });
}

ssize_t ClosingRecv(int fd, void* buffer, size_t length, int flags) {
  if (g_receivesSeeAClose.load()) return 0;
  return ::recv(fd, buffer, length, flags);
}

int FaultyAccept(int fd, sockaddr* address, socklen_t* length, int flags) {
  {
    std::lock_guard<std::mutex> lock(g_acceptMutex);
    if (!g_acceptFaults.empty()) {
      errno = g_acceptFaults.front();
      g_acceptFaults.pop_front();
      return -1;
    }
  }
  return ::accept4(fd, address, length, flags);
}

std::atomic<int> g_acceptDelayMs{0};
std::atomic<bool> g_acceptEntered{false};

int SlowAccept(int fd, sockaddr* address, socklen_t* length, int flags) {
  if (int delay = g_acceptDelayMs.load()) {
    g_acceptEntered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  }
  return ::accept4(fd, address, length, flags);
}

bool FailingStart(std::function<void()> body) {
  if (g_startCount++ == g_failStart.load()) return false;
  return g_realStart(std::move(body));
}

int FailingOpen(const char* path, int flags, unsigned mode) {
  if (int err = g_openErrno.load()) {
    errno = err;
    return -1;
  }
  return ::open(path, flags, static_cast<mode_t>(mode));
}

class FaultInjectionTest : public test::HostileTest {
 protected:
  void TearDown() override {
    test::HostileTest::TearDown();
    test::ResetFileFaults();
    g_calls = 0;
    g_sendBudget = -1;
    g_receivesSeeAClose = false;
    g_startCount = 0;
    g_failStart = -1;
    g_openErrno = 0;
    std::lock_guard<std::mutex> lock(g_acceptMutex);
    g_acceptFaults.clear();
  }

  // The full replies, byte for byte, of the files UseFiles made.
  void UseFiles() {
    song_ = Media("audio/song.mp3", test::OffsetBytes(100000));
    movie_ = Media("video/movie.avi", test::OffsetBytes(300000));
    mpeg_ = Media("video/movie.mpg", test::OffsetBytes(8 * kBlock));
    image_ = Media("photo/image.jpg", test::PatternBytes(100000));
    firmware_ = test::PatternBytes(20000, 3);
    std::filesystem::path fw = media_.Write("fw.bin", firmware_);
    SetPathText(&settings_.firmwareFile, fw.string());
  }
  std::string AudioReply() const { return LengthBlock(int32_t(song_.size())) + song_; }
  std::string StillReply() const {
    return test::Block(std::to_string(image_.size())) + image_ +
           std::string(32767 - image_.size() % 32767, '0');
  }
  std::string FirmwareReply() const {
    return test::Block(std::to_string(firmware_.size())) + firmware_;
  }
  // The AVI reply with probe offset 0 and the movie from 2048 to 250000.
  std::string AviReply() const {
    std::string filesize = FilesizeBlock(int32_t(movie_.size())), header = movie_.substr(0, kBlock);
    return filesize + header + filesize + header + filesize + header +
           StartBlock(int32_t(movie_.size())) + movie_.substr(2048, 250000 - 2048);
  }
  // The MPEG reply of an adapter that wants the end, scale 0.
  std::string MpegReply() const {
    size_t tail = mpeg_.size() - kBlock;
    return std::string(256, '\0') + mpeg_.substr(0, kBlock) + TailPositionBlock(uint32_t(tail)) +
           mpeg_.substr(tail) + mpeg_.substr(0, kBlock) + mpeg_.substr(kBlock);
  }
  // Requests each kind of reply in turn, as an adapter that plays fair; returns what arrived.
  std::string Fetch(char kind) {
    AdapterClient client;
    std::string got;
    switch (kind) {
      case 'a':
        client = Play('1', "song.mp3");
        break;
      case 's':
        client.Connect(port());
        client.SendBlock("<33image.jpg");
        break;
      case 'f':
        client.Connect(port());
        client.SendBlock("<7");
        break;
      case 'v': {
        client = Play('2', "movie.avi");
        got = client.ReadExact(3 * 256 + 2 * kBlock).value_or("");
        client.SendBlock("0");
        got += client.ReadExact(kBlock).value_or("");
        client.SendBlock("250000");
        client.SendBlock("2048");
        break;
      }
      case 'm': {
        client = Play('4', "movie.mpg");
        got = client.ReadExact(256 + kBlock).value_or("");
        client.SendBlock("1");
        got += client.ReadExact(256 + 2 * kBlock).value_or("");
        client.SendBlock("0");
        break;
      }
    }
    got += client.ReadToClose(kLongReadMs).value_or("");
    client.Close();
    EXPECT_TRUE(WaitUntil([] { return ClientCount() == 0; }));
    EXPECT_TRUE(WaitForThreads(kRunThreads));
    return got;
  }
  std::string Reply(char kind) const {
    switch (kind) {
      case 'a':
        return AudioReply();
      case 's':
        return StillReply();
      case 'f':
        return FirmwareReply();
      case 'v':
        return AviReply();
      default:
        return MpegReply();
    }
  }

  std::string song_, movie_, mpeg_, image_, firmware_;
};

const char* ErrnoName(int err) {
  switch (err) {
    case EINTR:
      return "EINTR";
    case ECONNABORTED:
      return "ECONNABORTED";
    case EMFILE:
      return "EMFILE";
    default:
      return "ENOBUFS";
  }
}

const char kKinds[] = {'a', 'v', 'm', 's', 'f'};
const char* KindName(char kind) {
  switch (kind) {
    case 'a':
      return "audio stream";
    case 'v':
      return "AVI stream";
    case 'm':
      return "MPEG stream";
    case 's':
      return "still image";
    default:
      return "firmware image";
  }
}

TEST_F(FaultInjectionTest, OneByteAndInterruptedSendsReceivesAndReadsChangeNoByte) {
  Sys().send = ShortSend;
  Sys().recv = ShortRecv;
  Sys().read = ShortRead;
  Sys().splice = ShortSplice;
  Sys().sendfile = ShortSendfile;
  UseFiles();
  Begin();
  for (char kind : kKinds) {
    const int32_t sendCalls = Traffic().sendCalls.load();
    EXPECT_TRUE(Fetch(kind) == Reply(kind)) << KindName(kind);
    if (kind == 's') {  // one SendAll per block, however many send calls it took
      EXPECT_EQ(Traffic().sendCalls.load() - sendCalls, 1 + 4);
    }
    RecordFault("1-byte sends, receives and file reads, EINTR on every third call", KindName(kind),
                "byte-exact reply, one SendAll counted per block");
  }
  // A command block that arrives a byte at a time still steers the stream.
  const std::string song = Media("audio/long.mp3", test::OffsetBytes(6 << 20));
  AdapterClient client = Play('1', "long.mp3");
  ASSERT_TRUE(client.ReadExact(256));
  ASSERT_TRUE(Control().SendRaw(Command("<8", std::to_string(song.size() - 1000))));
  EXPECT_TRUE(log_->WaitForLine("Fastforward...."));
  std::string data = client.ReadToClose(kLongReadMs).value_or("");
  ASSERT_GE(data.size(), 1000u);
  EXPECT_TRUE(data.substr(data.size() - 1000) == song.substr(song.size() - 1000));
  client.Close();
  RecordFault("1-byte sends, receives and file reads, EINTR on every third call",
              "a control command", "taken up: fast forward to the target");
  ExpectRecovered();
}

TEST_F(FaultInjectionTest, ResetOrBrokenPipeInTheMiddleOfEveryReplyEndsItThere) {
  Sys().send = BudgetSend;
  Sys().splice = BudgetSplice;
  Sys().sendfile = BudgetSendfile;
  UseFiles();
  Begin();
  for (int err : {ECONNRESET, EPIPE}) {
    g_sendErrno = err;
    for (char kind : kKinds) {
      SCOPED_TRACE(std::string(KindName(kind)) + " " + std::strerror(err));
      const std::string full = Reply(kind);
      // Past any handshake, in the middle of the data.
      const int64_t budget = kind == 'v' || kind == 'm' ? 140000 : int64_t(full.size()) / 2 + 7;
      const int leaving = log_->Count("127.0.0.1 is leaving......");
      g_sendBudget = budget;
      std::string got = Fetch(kind);
      g_sendBudget = -1;
      EXPECT_EQ(got.size(), size_t(budget));
      EXPECT_TRUE(got == full.substr(0, size_t(budget)));
      EXPECT_EQ(log_->Count("127.0.0.1 is leaving......"), leaving + 1);
      EXPECT_EQ(log_->Count("Can Not Read File : " + (media_.path() / "fw.bin").string()), 0);
      RecordFault(err == ECONNRESET ? "send fails with ECONNRESET" : "send fails with EPIPE",
                  std::string("the ") + KindName(kind) + ", half way",
                  "reply ends at the failed byte, slot and threads given back");
    }
  }
  ExpectRecovered();
}

TEST_F(FaultInjectionTest, ReceiveOfZeroBytesIsAClose) {
  Sys().recv = ClosingRecv;
  Begin();
  // On the request connection: an empty block, so no request line at all.
  g_receivesSeeAClose = true;
  AdapterClient client;
  ASSERT_TRUE(client.Connect(port()) && client.SendBlock("<31ordinary.mp3"));
  EXPECT_TRUE(client.ClosedWithoutData());
  EXPECT_TRUE(log_->WaitForLine("127.0.0.1 is leaving......"));
  EXPECT_EQ(log_->Count("127.0.0.1 requests to play a MP3 file ::"), 0);
  g_receivesSeeAClose = false;
  RecordFault("receive returns 0 bytes", "the request block", "no request line, closed");

  // On a control connection: the control thread ends, and the stream plays on.
  const std::string song = Media("audio/long.mp3", test::OffsetBytes(6 << 20));
  client = Play('1', "long.mp3");
  ASSERT_TRUE(client.ReadExact(256));
  AdapterClient control = Control();
  ASSERT_TRUE(WaitForThreads(kRunThreads + 2));
  g_receivesSeeAClose = true;
  ASSERT_TRUE(control.SendRaw(Command("<3")));  // wakes the pending receive; the next sees 0
  EXPECT_TRUE(WaitForThreads(kRunThreads + 1));
  EXPECT_TRUE(client.ReadToClose(kLongReadMs) == song);
  g_receivesSeeAClose = false;
  client.Close();
  control.Close();
  RecordFault("receive returns 0 bytes", "a control connection",
              "control thread ends, the stream plays to its end");
  ExpectRecovered();
}

TEST_F(FaultInjectionTest, FailedAcceptsLoseNoConnection) {
  Sys().accept4 = FaultyAccept;
  Begin();
  for (int err : {EINTR, ECONNABORTED, EMFILE, ENOBUFS, EINTR}) {
    {
      std::lock_guard<std::mutex> lock(g_acceptMutex);
      g_acceptFaults.push_back(err);
    }
    AdapterClient client = Play('1', "ordinary.mp3");
    EXPECT_TRUE(client.ReadToClose() == LengthBlock(int32_t(ordinary().size())) + ordinary())
        << std::strerror(err);
    client.Close();
    EXPECT_TRUE(WaitForThreads(kRunThreads));
    RecordFault(std::string("accept fails with ") + ErrnoName(err), "the request port",
                "the connection is still accepted and served");
  }
  ExpectRecovered();
}

TEST_F(FaultInjectionTest, RestartRightAfterAStopThatOutlastedItsWaitStillGetsThePorts) {
  Sys().accept4 = SlowAccept;
  Begin();
  // The listener is held in an accept while the server stops, so the stop returns first.
  g_acceptDelayMs = 600;
  AdapterClient early;
  ASSERT_TRUE(early.Connect(port()));
  ASSERT_TRUE(WaitUntil([] { return g_acceptEntered.load(); }));
  Stop();
  EXPECT_EQ(log_->Count("System Warming 3001! Please Contact to Developers!"), 1);
  g_acceptDelayMs = 0;
  Start();  // at once: the new run waits until the old one has let go of the ports
  EXPECT_EQ(log_->Count("Networking Error 1002! Please Contact to Developers!"), 0);
  early.Close();
  RecordFault("accept held for 600 ms while the server stops", "a restart right after the stop",
              "the new run waits for the ports, binds them and serves");
  ExpectRecovered();
}

TEST_F(FaultInjectionTest, ThreadsThatCannotStart) {
  g_realStart = Sys().startThread;
  Sys().startThread = FailingStart;
  UseFiles();
  SetCurrentSettings(settings_);
  // The listener: nothing is accepted, discovery still answers.
  g_startCount = 0;
  g_failStart = 0;
  StartServer();
  EXPECT_TRUE(log_->WaitForLine("Cannot create Listen thread"));
  AdapterClient client;
  EXPECT_FALSE(client.Connect(port(), 1000));
  EXPECT_TRUE(WaitUntil([&] { return test::Probe(port() + 3, "VE520", 100) == "VE520"; }));
  Stop();
  EXPECT_TRUE(WaitForThreads(0));
  RecordFault("thread start fails", "the listener",
              "\"Cannot create Listen thread\"; nothing served");
  // The discovery thread: requests are still served.
  g_startCount = 0;
  g_failStart = 1;
  StartServer();
  EXPECT_TRUE(log_->WaitForLine("Cannot create UDP thread"));
  ASSERT_TRUE(CurrentRun()->WaitForListenerOpened(10000));
  EXPECT_EQ(Exchange(test::Block("<2")), "");
  EXPECT_TRUE(log_->WaitForLine("Unknown command"));
  EXPECT_EQ(test::Probe(port() + 3, "VE520", 300), std::nullopt);
  Stop();
  EXPECT_TRUE(WaitForThreads(0));
  RecordFault("thread start fails", "the discovery thread",
              "\"Cannot create UDP thread\"; requests served");
  g_failStart = -1;
  Begin();
  // A stream's control thread (the second start of a request): audio and MPEG play on without
  // control, an AVI stream, which cannot be played without it, ends after its handshake.
  for (char kind : {'a', 'm', 'v'}) {
    g_startCount = 0;
    g_failStart = 1;
    std::string got = Fetch(kind);
    const std::string full = Reply(kind);
    size_t aviHandshake = 3 * 256 + 3 * kBlock + 256;
    EXPECT_TRUE(kind == 'v' ? got == full.substr(0, aviHandshake) : got == full) << kind;
    RecordFault("thread start fails", std::string("the control thread of an ") + KindName(kind),
                kind == 'v' ? "stream ends after the handshake" : "stream plays to its end");
  }
  g_failStart = -1;
  ExpectRecovered();
}

TEST_F(FaultInjectionTest, FileOpensAndReadsThatFail) {
  Sys().open = FailingOpen;
  UseFiles();
  Begin();
  // Out of descriptors: each delivery reports the file it cannot open and sends nothing.
  g_openErrno = EMFILE;
  const std::pair<std::string, std::string> refused[] = {
      {"<31song.mp3", "Can Not Open File : " + audio().string() + "\\song.mp3"},
      {"<32movie.avi", "Can Not Open File : " + video().string() + "\\movie.avi"},
      {"<33image.jpg", "Can Not Play File : " + photo().string() + "\\image.jpg"},
      {"<34movie.mpg", "Can Not Play File : " + video().string() + "\\movie.mpg"},
      {"<7", "Can Not Open File : " + (media_.path() / "fw.bin").string()}};
  for (const auto& [request, line] : refused) {
    EXPECT_EQ(Exchange(test::Block(request)), "") << request;
    EXPECT_EQ(log_->Count(line), 1) << line;
    RecordFault("file open fails with EMFILE", request, "its line, nothing sent");
  }
  g_openErrno = 0;
  ExpectRecovered();
}

TEST_F(FaultInjectionTest, ReadErrorsInTheMiddleOfAviMpegAndFirmwareReplies) {
  UseFiles();
  // The budget counts every byte the server reads from files, from this request on.
  const struct {
    char kind;
    int64_t readable;  // bytes read before the error
    size_t received;   // bytes of the reply that arrive
  } cases[] = {
      // Header and probe blocks, then three blocks of movie data.
      {'v', 2 * int64_t(kBlock) + 3 * int64_t(kBlock), 3 * 256 + 3 * kBlock + 256 + 3 * kBlock},
      // The magic, the first, last and first blocks again, then three blocks of the stream.
      {'m', 4 + 3 * int64_t(kBlock) + 3 * int64_t(kBlock), 256 + 256 + 3 * kBlock + 3 * kBlock},
      // Two chunks of the image, then the error: the reply stops without padding.
      {'f', 2 * 4096 + 100, 256 + 2 * 4096},
  };
  test::FailFileReadsAfter(-1);
  Begin();
  for (const auto& c : cases) {
    test::FailFileReadsAfter(c.readable);
    std::string got = Fetch(c.kind);
    test::ResetFileFaults();
    EXPECT_EQ(got.size(), c.received) << KindName(c.kind);
    EXPECT_TRUE(got == Reply(c.kind).substr(0, c.received)) << KindName(c.kind);
    RecordFault("file read fails with EIO", std::string("the ") + KindName(c.kind) + ", half way",
                c.kind == 'f' ? "reply ends unpadded, \"Can Not Read File\"" : "stream ends there");
  }
  EXPECT_EQ(log_->Count("Can Not Read File : " + (media_.path() / "fw.bin").string()), 1);
  ExpectRecovered();
}

}  // namespace
}  // namespace rureza
