// rureza-probe as a user runs it: each command against the live server, and the exit codes
// and messages that tell the user what went wrong, also with a server that misbehaves.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "delivery/listing_record.h"
#include "platform/poll.h"
#include "support/fixture.h"
#include "support/process.h"

namespace rureza::test {
namespace {

struct Outcome {
  int code;
  std::string out, err;
};

// The server's base port goes first, so a --port in args wins.
Outcome RunProbe(const TempDir& dir, uint16_t port, std::vector<std::string> args) {
  ::setenv("LC_ALL", "C.UTF-8", 1);  // names are escaped for the terminal's character set
  args.insert(args.begin(), {"--port", std::to_string(port)});
  ChildProcess probe(RUREZA_PROBE_BINARY, args, dir.path());
  const int code = probe.Wait(60000);
  return {code, probe.Output("out"), probe.Output("err")};
}

// A RIFF AVI file whose movie list holds `movie` bytes from offset 24, then `tail` more bytes.
std::string Riff(uint32_t movie, size_t tail) {
  auto le = [](uint32_t v) {
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  };
  return "RIFF" + le(movie + 16 + uint32_t(tail)) + "AVI LIST" + le(movie + 4) + "movi" +
         PatternBytes(movie + tail, 3);
}

class ProbeTest : public ServerTest {
 protected:
  Outcome Probe(std::vector<std::string> args) { return RunProbe(work_, port(), std::move(args)); }
  TempDir work_;
};

TEST_F(ProbeTest, EachCommandGetsWhatAnAdapterGets) {
  const std::string song = Media("audio/song.mp3", PatternBytes(100000));
  const std::string image = Media("photo/p\xff\x1b.jpg", PatternBytes(40000, 1));
  const std::string mpeg = Media("video/clip.mpg", PatternBytes(3 * kBlock + 100, 2));
  const std::string plain = Media("video/a.avi", PatternBytes(70000, 4));
  const std::string small = Media("video/small.avi", Riff(1000, 4000));
  const std::string big = Media("video/big.avi", Riff(40000, 3000));
  const std::string firmware = PatternBytes(20000, 5);
  SetPathText(&settings_.firmwareFile, media_.Write("fw.bin", firmware).string());
  Start();

  // Audio, photo and firmware byte for byte; MPEG from its start; AVI its movie data, the
  // whole file without a movie list, and a short movie list's one whole block.
  for (auto [kind, name, want] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"audio", "song.mp3", song},
           {"photo", "p\xff\x1b.jpg", image},
           {"firmware", "", firmware},
           {"mpeg", "clip.mpg", mpeg},
           {"avi", "a.avi", plain},
           {"avi", "small.avi", small.substr(24)},
           {"avi", "big.avi", big.substr(24, 40000)}}) {
    std::vector<std::string> args{"get", "127.0.0.1", kind, "-o", "got"};
    if (!name.empty()) args.push_back(name);
    Outcome got = Probe(args);
    EXPECT_EQ(got.code, 0) << name << got.err;
    std::ifstream file(work_.path() / "got", std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(file), {}) == want) << kind << name;
  }
  EXPECT_EQ(Probe({"list", "127.0.0.1", "--raw"}).out, Exchange(Block("<1")).value_or("-"));

  const std::string closed = std::to_string(FreeBasePort());
  for (auto [args, code, stream, text] :
       std::vector<std::tuple<std::vector<std::string>, int, const char*, std::string>>{
           {{"discover", "127.0.0.1"}, 0, "out", "127.0.0.1  "},
           {{"list", "127.0.0.1"}, 0, "out", "      16  audio    100.0 kB  -rw-rw-rw-  song.mp3\n"},
           {{"list", "127.0.0.1"}, 0, "out", "photo     40.0 kB  -rw-rw-rw-  p\\xff\\x1b.jpg\n"},
           {{"list", "--bytes", "127.0.0.1"},
            0,
            "out",
            "\n6 entries (4 video, 1 audio, 1 photo), 356452 bytes in all\n"},
           {{"list", "127.0.0.1", "--charset", "ISO-8859-1"}, 0, "out", "  p\xc3\xbf\\x1b.jpg\n"},
           {{"list", "127.0.0.1", "--charset", "ASCII"}, 0, "out", "  p\\xff\\x1b.jpg\n"},
           {{"check", "127.0.0.1"}, 0, "out", "\nall 7 steps that apply worked\n"},
           {{"load", "127.0.0.1", "--adapters", "2", "--seconds", "1", "--kind", "audio",
             "--digests"},
            0,
            "out",
            "\nerrors        0\nfnv1a64 " + Fnv1a64(song) + " audio song.mp3\n"},
           {{"get", "127.0.0.1", "audio", "nosuch.mp3", "-o", "x"}, 1, "err", "could not open"},
           {{"list", "127.0.0.1", "--port", closed}, 1, "err", "Connection refused"},
           {{"discover", "127.0.0.1", "--port", closed, "--timeout", "0.2"},
            1,
            "err",
            "no server answered the probe on UDP port"},
           {{"check", "127.0.0.1", "--port", closed, "--timeout", "0.2"},
            1,
            "out",
            "3 of 3 steps FAILED"},
           {{"load", "127.0.0.1", "--port", closed, "--adapters", "1", "--seconds", "0.1"},
            1,
            "out",
            "\nerrors        1\n"},
           {{"bogus"}, 2, "err", "unknown command 'bogus'\nTry 'rureza-probe --help'"},
           {{"get", "127.0.0.1", "firmware", "x"}, 2, "err", "takes no NAME"},
           {{"list", "127.0.0.1", "--digests"}, 2, "err", "--digests does not apply to list"},
           {{"load", "127.0.0.1", "--seconds", "1"}, 2, "err", "load needs --adapters"},
           {{"list", "--port", "65533", "127.0.0.1"}, 2, "err", "--port takes a number"},
       }) {
    Outcome got = Probe(args);
    EXPECT_EQ(got.code, code) << args[0] << " " << args.back() << got.err;
    EXPECT_NE((stream[0] == 'o' ? got.out : got.err).find(text), std::string::npos)
        << args[0] << " " << args.back() << "\n"
        << got.out << got.err;
  }
}

// A server that sends a listing with a bad byte after one good record, or that never answers.
TEST(ProbeMisbehavingServerTest, SaysWhereTheReplyWentWrong) {
  uint8_t record[kListingRecordSize];
  WriteListingRecord(0, "a.mp3", 33206, 5, record);
  const std::string good(reinterpret_cast<char*>(record), sizeof record);
  // A reply that closes early is not a whole one, nor a silent server one that lost the file.
  for (auto [reply, args, said] :
       std::vector<std::tuple<std::string, std::vector<std::string>, std::string>>{
           {good + "x",
            {"list", "127.0.0.1"},
            "a record that does not start with a digit at offset 64"},
           {good, {"list", "127.0.0.1"}, "no end block at offset 64"},
           {Block("5") + "abc", {"get", "127.0.0.1", "audio", "a.mp3"}, "ended 2 bytes short"},
           {"",
            {"get", "127.0.0.1", "audio", "a.mp3", "--timeout", "0.3"},
            "no byte came for 0.3 s"},
           {"",
            {"get", "127.0.0.1", "avi", "a.avi", "--timeout", "0.3"},
            "no byte came for 0.3 s"}}) {
    TempDir dir;
    const uint16_t port = FreeBasePort();
    Socket listener = Socket::NewTcp(nullptr);
    const sockaddr_in address = LoopbackAddress(port);
    ASSERT_EQ(::bind(listener.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);
    ASSERT_TRUE(listener.Listen(1).ok());
    std::thread fake([&, reply = reply] {
      if (!WaitReadable(listener.fd(), 10000)) return;
      Socket client = listener.Accept(nullptr, nullptr);
      char request[256];
      // The whole request is read first: a close with unread bytes would be a reset.
      if (!WaitReadable(client.fd(), 10000) ||
          ::recv(client.fd(), request, 256, MSG_WAITALL) != 256)
        return;
      ::send(client.fd(), reply.data(), reply.size(), MSG_NOSIGNAL);
      if (reply.empty()) WaitReadable(client.fd(), 10000);  // silent until the probe gives up
    });
    Outcome got = RunProbe(dir, port, args);
    fake.join();
    EXPECT_EQ(got.code, 1) << args[0];
    EXPECT_NE(got.err.find(said), std::string::npos) << got.err;
    EXPECT_EQ(got.out.find("a.mp3") != std::string::npos, args[0] == "list") << got.out;
  }
}

}  // namespace
}  // namespace rureza::test
