// Hostile adapters and injected faults against the live server. Each case ends with the
// server serving the next ordinary request, no client left, descriptors and threads back at
// their baseline.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <random>
#include <thread>

#include "delivery/decimal.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "request/dispatcher.h"
#include "server/server.h"
#include "server/server_run.h"
#include "server/transfer.h"
#include "support/faults.h"
#include "support/kinds.h"
#include "support/reliability.h"

namespace rureza::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kNpos = std::string::npos;
using HostileRequestTest = HostileTest;
const std::string kLeaving = "127.0.0.1 is leaving......";

TEST_F(HostileRequestTest, NamesOfNothingAListingCouldListAreRefusedWithoutBlocking) {
  // Root reads every file whatever its mode bits, so "unreadable" comes through the open seam.
  FailOpens("locked", EACCES);
  media_.Write("video_secret/x", "secret");  // a sibling whose name starts like video/
  media_.Write("x", "secret");
  // Hidden, of no listed kind, too deep, in a folder with subfolders off, or through a link out.
  std::string deep;
  for (int i = 0; i < 17; ++i) deep += "d/";
  for (const std::string& path :
       std::vector<std::string>{".hidden/key.mp3", ".hidden/key.txt", "notes.txt", "sub/in.mp3",
                                deep + "x.mp3", "../secret/s.mp3"}) {
    media_.Write("audio/" + path, "x");
  }
  std::filesystem::create_symlink("../../secret", audio() / "sub/linkout");
  std::filesystem::create_symlink("../../secret/s.mp3", audio() / "sub/fileout.mp3");
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
  // The 253 n's fill the block: no zero byte ends the name.
  const std::vector<std::string> names = {"../../etc/passwd",
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
                                          std::string(253, 'n'),
                                          "pipe",
                                          "zero",
                                          "dir",
                                          "locked",
                                          ".hidden/key.mp3",
                                          ".hidden/key.txt",
                                          "notes.txt",
                                          deep + "x.mp3",
                                          "sub/linkout/s.mp3",
                                          "sub/fileout.mp3",
                                          "sub\\fileout.mp3",
                                          "sub/./in.mp3",
                                          "sub//in.mp3"};
  // Every option off (a settings file of 1,026 bytes), then a new install's options.
  for (bool subfolders : {false, true}) {
    for (int i = 0; i < 4; ++i) {
      const char type = char('1' + i);
      for (std::string name : names) {
        if (!name.empty() && name.size() < 7 && name.find_first_of("./\\") == std::string::npos) {
          name += endings[i];  // the FIFO, device, folder and locked names
        }
        const std::string line = ShowableText(
            (i < 2 ? "Can Not Open File : " : "Can Not Play File : ") + folders[i].string() + "\\" +
            (name.starts_with("./") ? name.substr(2) : name));
        const int before = log_->Count(line);
        // A FIFO or device that blocked the open would hold the reply past the test's limit.
        EXPECT_EQ(Exchange(Block(std::string("<3") + type + name)), "") << type << Printable(name);
        EXPECT_EQ(log_->Count(line), before + 1) << Printable(name);
      }
    }
    EXPECT_EQ(Exchange(Block("<31sub/in.mp3")), subfolders ? Block("1") + "x" : "");
    Stop();
    settings_.library = NewInstallLibraryOptions();
    // Names travel as stored, so the strange bytes below are the file's own.
    settings_.library.charset = kStoredCharset;
    Start();
  }
  // Control characters and invalid UTF-8 inside the folder are still a name, served as any.
  const std::string song = Media("audio/" + strange + ".mp3", OffsetBytes(50000));
  EXPECT_EQ(Exchange(Block("<31" + strange + ".mp3")), Block("50000") + song);
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
  }
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

// Every wait for the adapter has a limit: a stream handshake whose answer does not come (at
// its first answer or its last), and a listing, photo or firmware image the adapter takes no
// byte of (its window stays closed, yet it answers every window probe), free their slots; a
// fair adapter at the same limits is served whole.
TEST_F(HostileRequestTest, StalledHandshakesAndRepliesNobodyTakesFreeTheirSlots) {
  SetRequestTimeLimitMs(1000);
  SetDeadPeerTimeoutMs(2500);  // as long as a paused stream is kept past it (DeadPeerTest)
  // Longer than the connections' buffers hold.
  for (int i = 0; i < 3000; ++i) media_.Write("audio/" + std::to_string(i) + ".mp3", "");
  Begin(100000, 300000, 8, 1 << 20, 1 << 20);
  std::vector<AdapterConnection> stalled(7);
  for (int i = 0; i < 5; ++i) {
    const std::string request = i < 2 ? RequestText(KindOf("vm"[i]), KindRequestName("vm"[i]))
                                      : std::string(i == 2   ? "<1"
                                                    : i == 3 ? "<33image.jpg"
                                                             : "<7");
    NoteInput(Printable(request) + (i < 2 ? ", then no answer" : ", then no byte taken"));
    stalled[i].SetReceiveBuffer(4096);
    stalled[i].SetSegmentSize(536);
    ASSERT_TRUE(stalled[i].Connect(LoopbackAddress(port())) && stalled[i].SendBlock(request));
  }
  for (int i = 5; i < 7; ++i) {  // the last answer never comes
    const char kind = "vm"[i - 5];
    HandshakeAnswers answers = FairAnswers(kind, File(kind).size());
    answers.beforeLastAnswer = [&, i] { EXPECT_TRUE(stalled[i].ClosedWithoutData(20000)); };
    ASSERT_TRUE(stalled[i].Connect(LoopbackAddress(port())));
    SendRequest(stalled[i], KindOf(kind), KindRequestName(kind), answers);
  }
  // A request block trickled a byte every 300 ms: its limit counts from its first byte, not
  // from each one.
  std::atomic<bool> stopTrickle{false};
  std::thread trickle([&] {
    AdapterConnection slow;
    if (!slow.Connect(LoopbackAddress(port()))) return;
    const std::string block = Block("<1");
    for (size_t i = 0; i < block.size() && !stopTrickle && slow.Send(block.substr(i, 1)); ++i) {
      SleepMs(300);
    }
  });
  EXPECT_TRUE(WaitUntil([] { return ClientCount() == 0; }, 30000)) << ClientCount();
  stopTrickle = true;
  trickle.join();
  NoteFault(
      "stream handshakes that stop at their first or last answer, a request trickled a byte "
      "every 300 ms (limit 1 s), replies whose window stays closed (limit 2.5 s): all 8 slots "
      "freed");
  EXPECT_TRUE(Fetch('v') == Reply('v') && Fetch('m') == Reply('m'));
  stalled.clear();
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

// Longer than the connection's buffers hold, so a reply still runs when the test acts.
class HostileStreamTest : public HostileTest {
 protected:
  void SetUp() override {
    HostileTest::SetUp();
    Begin(12 * 1024 * 1024 + 12345, 4 << 20, 100, 8 << 20, 16 << 20);
  }
};

// data: whole blocks of file from its start, then file from `from` on (nothing for kNpos).
void ExpectBlocksThen(const std::string& file, const std::string& data, size_t from) {
  size_t rest = from == kNpos ? 0 : file.size() - from;
  ASSERT_GE(data.size(), rest);
  size_t prefix = data.size() - rest;
  EXPECT_EQ(prefix % kBlock, 0u);
  EXPECT_TRUE(prefix <= file.size() && data.compare(0, prefix, file, 0, prefix) == 0) << prefix;
  EXPECT_TRUE(data.compare(prefix, rest, file, from == kNpos ? 0 : from, rest) == 0) << from;
}

TEST_F(HostileStreamTest, ResetsAndHalfClosesOfEveryKind) {
  Send("<1").Reset();
  ExpectEnded();
  for (char kind : kKinds) {
    AdapterConnection client = Open(kind);
    EXPECT_TRUE(client.ReadExact(kBlock)) << KindName(kind);
    client.Reset();
    ExpectEnded();
    // The server still writes everything after a half-close.
    EXPECT_TRUE(kind == 'f' || Fetch(kind, true) == Reply(kind)) << KindName(kind);
  }
  // Control connections cut within an exchange: the AVI control thread sending its position
  // reply, the audio one with half a command block (its stream plays on).
  AdapterConnection client = Open('v');
  AdapterConnection control = Control();
  ASSERT_TRUE(control.Send(ControlBlock("<8")));
  EXPECT_TRUE(control.ReadExact(256));
  control.Reset();
  EXPECT_TRUE(client.ReadToClose(kLongReadMs));  // without its control the AVI stream ends
  ExpectEnded();
  client = Open('a');
  ASSERT_TRUE(WaitUntil([] { return CurrentRun()->HasControlWaiters(); }));  // not one closed first
  control = Control();
  ASSERT_TRUE(control.Send(ControlBlock("<8", "12345").substr(0, 100)));
  ASSERT_TRUE(WaitForThreads(kRunThreads + 2));
  control.Reset();
  EXPECT_TRUE(WaitForThreads(kRunThreads + 1));
  client.Reset();
  ExpectRecovered();
}

TEST_F(HostileStreamTest, SeekNumbersOutOfEveryRange) {
  const std::string& song = File('a');
  for (const std::string& number :
       {std::string("-1"), std::string("4294967296"), std::string(30, '9'), std::string("1e9"),
        std::string(" 12"), std::string("12abc"), std::string(), std::to_string(song.size()),
        std::to_string(song.size() + 1000), std::to_string(File('v').size()),
        std::to_string(File('v').size() + 1000)}) {
    SCOPED_TRACE("\"" + number + "\"");
    for (const char* head : {"<8", "<9"}) {
      const bool forward = head[1] == '8';
      const std::string line = forward ? "Fastforward...." : "Backforward....";
      AdapterConnection client = Play('1', "song.mp3");
      ASSERT_EQ(client.ReadExact(256), Block(std::to_string(song.size())));
      AdapterConnection control = Control();
      const int before = log_->Count(line);
      NoteInput(std::string(head) + " \"" + number + "\"");
      ASSERT_TRUE(control.Send(ControlBlock(head, number)));
      ASSERT_TRUE(WaitUntil([&] { return log_->Count(line) > before; }));
      control.Send(ControlBlock("<3"));
      // The target wraps like the adapter's 32-bit number; past the end, or back to 0, the
      // stream ends instead.
      uint32_t target = uint32_t(ParseSignedDecimal(number.data(), number.size()));
      bool resumes = target < song.size() && (forward || target != 0);
      ExpectBlocksThen(song, client.ReadToClose(kLongReadMs).value_or(""),
                       resumes ? target : kNpos);
      control.Close();
      client.Close();
      ExpectEnded();
    }
    // Each number of the AVI handshake; the position an AVI stream resumes at after asking for
    // the index region again; the MPEG scale value, then backward.
    for (int slot = 0; slot < 5; ++slot) {
      AdapterConnection client =
          slot == 4 ? PlayMpeg("movie.mpg", number)
                    : PlayAvi("movie.avi", slot == 0 ? (number.empty() ? "0" : number) : "0",
                              slot == 1 ? number : "800000", slot == 2 ? number : "2048");
      AdapterConnection control = slot > 2 ? Control() : AdapterConnection();
      std::future<std::string> answers =
          slot == 3
              ? std::async(std::launch::async, [&] { return ReadUntilQuiet(control, kLongReadMs); })
              : std::future<std::string>();
      ASSERT_TRUE(slot < 3 || control.Send(slot == 3 ? ControlBlock("<8") + ControlBlock("<3") +
                                                           Block("6666") + ControlBlock("", number)
                                                     : ControlBlock("<59")));
      if (slot == 4) control.Close();
      EXPECT_TRUE(client.ReadToClose(kLongReadMs)) << slot;
      EXPECT_TRUE(slot != 3 || !answers.get().empty());
      client.Close();
      control.Close();
      ExpectEnded();
    }
  }
  ExpectRecovered();
}

TEST_F(HostileStreamTest, RandomControlBlocksOnEveryStreamKind) {
  const int blocks = 200 / kSlowdown;
  std::mt19937 random(77);
  for (char kind : {'a', 'v', 'm'}) {
    for (int round = 0; round < 3; ++round) {
      AdapterConnection client = Open(kind), control = Control();
      // The AVI control thread answers some commands on the control connection.
      std::future<std::string> answers =
          std::async(std::launch::async, [&] { return ReadUntilQuiet(control, 30000); });
      // Half the blocks start like a command; Stop and Abort only by chance, or the first of
      // them would end most rounds early.
      std::string all(256 * blocks, '\0');
      for (char& c : all) c = static_cast<char>(random());
      for (size_t at = 0; at < all.size(); at += 256) {
        if (random() % 2) all[at] = '<', all[at + 1] = "01235678999@@K<>"[random() % 16];
      }
      NoteInput("random control blocks", blocks);
      const int32_t readsBefore = Traffic().receiveCalls.load();
      control.Send(all);
      // It reads them all or ends (it may seek, stop, send keyframes or end the stream).
      EXPECT_TRUE(WaitUntil(
          [&] {
            return Traffic().receiveCalls.load() - readsBefore >= blocks ||
                   LiveThreadCount() < kRunThreads + 2;
          },
          30000));
      ::shutdown(control.fd(), SHUT_RDWR);
      answers.get();
      control.Reset();
      client.Reset();
      ExpectEnded();
    }
  }
  ExpectRecovered();
}

// A control connection goes only to a stream of its own address: one that came first waits
// for its stream a moment; one that no stream of its address claims in that time is closed,
// whatever it sent, instead of waiting for the next stream; another adapter's (127.0.0.2)
// never steers this one's stream.
TEST_F(HostileStreamTest, ControlConnectionsOfNoStreamOrOfAnotherAdapter) {
  const std::string& song = File('a');
  AdapterConnection early = Control();
  EXPECT_TRUE(early.SilentFor(300));
  AdapterConnection client = Play('1', "song.mp3");
  ASSERT_TRUE(early.Send(ControlBlock("<4")));  // it steers the stream that came after it
  EXPECT_LT(client.ReadToClose(kLongReadMs).value_or(song).size(), song.size());
  ExpectEnded();
  AdapterConnection stray = Control();
  ASSERT_TRUE(stray.Send(Block("<4") + Block("not a command")));
  EXPECT_TRUE(stray.ClosedWithoutData());
  Media("audio/short.mp3", OffsetBytes(1000));
  EXPECT_TRUE(Exchange(Block("<31short.mp3")) == Block("1000") + OffsetBytes(1000));

  client = Play('1', "song.mp3");
  ASSERT_TRUE(client.ReadExact(256));
  ASSERT_TRUE(WaitUntil([] { return CurrentRun()->HasControlWaiters(); }));
  AdapterConnection other;
  other.SetLocalAddress({htonl(0x7f000002)});
  NoteInput("a control connection from 127.0.0.2 while a stream of 127.0.0.1 waits");
  ASSERT_TRUE(other.Connect(LoopbackAddress(uint16_t(port() + 1))));
  ASSERT_TRUE(other.Send(ControlBlock("<4")));
  EXPECT_TRUE(other.ClosedWithoutData());
  EXPECT_TRUE(WaitForThreads(kRunThreads + 2));  // the stream and its control thread wait on
  ASSERT_TRUE(Control().Send(ControlBlock("<4")));
  EXPECT_LT(client.ReadToClose(kLongReadMs).value_or(song).size(), song.size());
  for (AdapterConnection* c : {&early, &stray, &other, &client}) c->Close();
  ExpectRecovered();
}

TEST_F(HostileStreamTest, SeekRacingAStop) {
  const std::string& song = File('a');
  const size_t target = song.size() / 2 + 7;
  for (int round = 0; round < 16; ++round) {
    const char kind = round < 10 ? 'a' : round < 13 ? 'v' : 'm';
    const std::string seek =
        kind == 'v'   ? ControlBlock("<8")
        : kind == 'm' ? ControlBlock("<59")
                      : ControlBlock(round % 4 < 2 ? "<8" : "<9", std::to_string(target));
    AdapterConnection client = kind == 'm' ? PlayMpeg("movie.mpg", "300000") : Open(kind);
    ASSERT_TRUE(kind != 'a' || client.ReadExact(256));
    AdapterConnection control = Control();
    ASSERT_TRUE(control.Send(round % 2 && kind == 'a' ? ControlBlock("<4") + seek
                                                      : seek + ControlBlock("<4")));
    std::string data = client.ReadToClose(kLongReadMs).value_or("");
    if (kind == 'a') {  // stopped, with or without the seek taken up first
      ExpectBlocksThen(song, data, data.size() % kBlock ? target : kNpos);
    } else if (kind == 'v') {
      EXPECT_TRUE(data == File('v').substr(2048, data.size()));
    }
    control.Close();
    client.Close();
    ExpectEnded();
  }
  ExpectRecovered();
}

TEST_F(HostileStreamTest, FilesCutShortOrReplacedWhileTheyStream) {
  // Cut short: the stream ends; what it sent of the old length is the file's bytes (or, for the
  // block being read at the cut, zero bytes). Replaced: it goes on with the file it opened.
  const std::string song = File('a');
  for (int64_t cut : {2 << 20, 0, -1}) {
    Media("audio/song.mp3", song);
    AdapterConnection client = Play('1', "song.mp3");
    ASSERT_TRUE(client.ReadExact(256 + (1 << 20)));
    if (cut >= 0) {
      std::filesystem::resize_file(audio() / "song.mp3", uint64_t(cut));
    } else {
      media_.Write("audio/new.mp3", PatternBytes(1000));
      std::filesystem::rename(audio() / "new.mp3", audio() / "song.mp3");
    }
    std::string data = client.ReadToClose(kLongReadMs).value_or("");
    size_t same = 0;
    while (same < data.size() && data[same] == song[(1 << 20) + same]) ++same;
    EXPECT_TRUE(
        cut < 0 ? data == song.substr(1 << 20)
                : data.size() <= song.size() &&
                      (same == data.size() || data.find_first_not_of('\0', same) >= same + kBlock));
    client.Close();
    ExpectEnded();
  }
  // AVI, MPEG and photo cut short: each ends; the photo at the cut, never padded with bytes
  // that were not in the file, and the line says why.
  for (char kind : {'v', 'm', 's'}) {
    AdapterConnection client = Open(kind);
    ASSERT_TRUE(client.ReadExact(kind == 's' ? 256 + (1 << 20) : 4 * kBlock));
    std::filesystem::resize_file(media_.path() / KindFile(kind), kind == 'v'   ? 1 << 20
                                                                 : kind == 'm' ? 10 * kBlock
                                                                               : 2 << 20);
    std::optional<std::string> rest = client.ReadToClose(kLongReadMs);
    EXPECT_TRUE(rest && (kind != 's' || rest == File('s').substr(1 << 20, rest->size()))) << kind;
    client.Close();
    ExpectEnded();
  }
  EXPECT_TRUE(log_->WaitForLine("Can Not Read File : " + photo().string() + "\\image.jpg"));
  Media("audio/song.mp3", song);
  ExpectRecovered();
}

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
  // The listener (first start): the run ends on its own, nothing is accepted and discovery
  // never answers. The discovery thread (second): requests are still served.
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
      EXPECT_EQ(ServerFailure() + (ServerIsRunning() ? " running" : ""),
                "the listener thread cannot be started");
    }
    const sockaddr_in udp = LoopbackAddress(uint16_t(port() + 3));
    EXPECT_FALSE(WaitUntil([&] { return Probe(udp, "VE520", 100) == "VE520"; }, 300));
    Stop();
    EXPECT_TRUE(WaitForThreads(0));
  }
  FailThreadStart(-1);
  Begin();
  ExpectRecovered();
}

}  // namespace
}  // namespace rureza::test
