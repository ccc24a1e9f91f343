// Hostile adapters while replies run. Each case ends with the server serving the next ordinary
// request, no client left, descriptors and threads back at their baseline.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>
#include <future>
#include <random>

#include "delivery/decimal.h"
#include "platform/thread.h"
#include "server/server.h"
#include "server/transfer.h"
#include "support/kinds.h"
#include "support/reliability.h"

namespace rureza::test {
namespace {

constexpr size_t kNpos = std::string::npos;

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
  AdapterConnection client;
  ASSERT_TRUE(client.Connect(LoopbackAddress(port())) && client.Send("<31long"));
  ASSERT_TRUE(WaitUntil([] { return ClientCount() == 1; }));
  client.Reset();
  ExpectEnded();
  Send("<1").Reset();
  ExpectEnded();
  for (char kind : kKinds) {
    client = Open(kind);
    EXPECT_TRUE(client.ReadExact(kBlock)) << KindName(kind);
    client.Reset();
    ExpectEnded();
    // The server still writes everything after a half-close.
    EXPECT_TRUE(kind == 'f' || Fetch(kind, true) == Reply(kind)) << KindName(kind);
  }
  // Control connections cut within an exchange: the AVI control thread sending its position
  // reply, the audio one with half a command block (its stream plays on).
  client = Open('v');
  AdapterConnection control = Control();
  ASSERT_TRUE(control.Send(Command("<8")));
  EXPECT_TRUE(control.ReadExact(256));
  control.Reset();
  EXPECT_TRUE(client.ReadToClose(kLongReadMs));  // without its control the AVI stream ends
  ExpectEnded();
  client = Open('a');
  control = Control();
  ASSERT_TRUE(control.Send(Command("<8", "12345").substr(0, 100)));
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
      ASSERT_TRUE(control.Send(Command(head, number)));
      ASSERT_TRUE(WaitUntil([&] { return log_->Count(line) > before; }));
      control.Send(Command("<3"));
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
      ASSERT_TRUE(slot < 3 || control.Send(slot == 3 ? Command("<8") + Command("<3") +
                                                           Block("6666") + Command("", number)
                                                     : Command("<59")));
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

TEST_F(HostileStreamTest, ControlConnectionsThatBelongToNoStream) {
  // Opened while no stream waits for one, they wait in the control port's backlog.
  AdapterConnection closed = Control();
  ASSERT_TRUE(closed.Send(Block(">junk") + Block("not a command")));
  closed.Close();
  AdapterConnection open = Control();
  EXPECT_TRUE(open.SilentFor(200));
  // The next stream takes the closed one, and plays on; the one after takes the open one and
  // ends it with the stream.
  Media("audio/short.mp3", OffsetBytes(1000));
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(Exchange(Block("<31short.mp3")) == Block("1000") + OffsetBytes(1000));
  }
  EXPECT_TRUE(open.ClosedWithoutData());
  open.Close();
  ExpectRecovered();
}

TEST_F(HostileStreamTest, SeekRacingAStop) {
  const std::string& song = File('a');
  const size_t target = song.size() / 2 + 7;
  for (int round = 0; round < 16; ++round) {
    const char kind = round < 10 ? 'a' : round < 13 ? 'v' : 'm';
    const std::string seek = kind == 'v' ? Command("<8")
                             : kind == 'm'
                                 ? Command("<59")
                                 : Command(round % 4 < 2 ? "<8" : "<9", std::to_string(target));
    AdapterConnection client = kind == 'm' ? PlayMpeg("movie.mpg", "300000") : Open(kind);
    ASSERT_TRUE(kind != 'a' || client.ReadExact(256));
    AdapterConnection control = Control();
    ASSERT_TRUE(
        control.Send(round % 2 && kind == 'a' ? Command("<4") + seek : seek + Command("<4")));
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

}  // namespace
}  // namespace rureza::test
