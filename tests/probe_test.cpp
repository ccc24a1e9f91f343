// rureza-probe as a user runs it: each command against the live server, and the exit codes
// and messages that tell the user what went wrong, also with a server that misbehaves.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include "delivery/listing_record.h"
#include "platform/poll.h"
#include "support/fixture.h"
#include "support/process.h"
#include "support/reliability.h"

namespace rureza::test {
namespace {

struct Outcome {
  int code;
  std::string out, err;
};

// The words of line (split at spaces) as arguments, after the server's base port, so a --port
// in them wins.
Outcome RunProbe(const TempDir& dir, uint16_t port, const std::string& line) {
  ::setenv("LC_ALL", "C.UTF-8", 1);  // names are escaped for the terminal's character set
  std::vector<std::string> args{"--port", std::to_string(port)};
  for (size_t at = 0, end; at <= line.size(); at = end + 1) {
    end = std::min(line.find(' ', at), line.size());
    args.push_back(line.substr(at, end - at));
  }
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
  Outcome Probe(const std::string& line) { return RunProbe(work_, port(), line); }
  TempDir work_;
};

TEST_F(ProbeTest, EachCommandGetsWhatAnAdapterGets) {
  const std::string song = Media("audio/song.mp3", PatternBytes(100000));
  const std::string image = Media("photo/p\xff\x1b.jpg", PatternBytes(40000, 1));
  // Exactly one chunk (no padding) and one byte more.
  const std::string chunk = Media("photo/chunk.jpg", PatternBytes(32767, 6));
  const std::string over = Media("photo/over.jpg", PatternBytes(32768, 7));
  const std::string mpeg = Media("video/clip.mpg", PatternBytes(3 * kBlock + 100, 2));
  const std::string plain = Media("video/a.avi", PatternBytes(70000, 4));
  const std::string small = Media("video/small.avi", Riff(1000, 4000));
  const std::string big = Media("video/big.avi", Riff(40000, 3000));
  const std::string firmware = PatternBytes(20000, 5);
  SetPathText(&settings_.firmwareFile, media_.Write("fw.bin", firmware).string());
  Start();

  // Audio, photo and firmware byte for byte; MPEG from its start; AVI its movie data, the
  // whole file without a movie list, and a short movie list's one whole block.
  for (auto [request, want] :
       std::vector<std::pair<std::string, std::string>>{{"audio song.mp3", song},
                                                        {"photo p\xff\x1b.jpg", image},
                                                        {"photo chunk.jpg", chunk},
                                                        {"photo over.jpg", over},
                                                        {"firmware", firmware},
                                                        {"mpeg clip.mpg", mpeg},
                                                        {"avi a.avi", plain},
                                                        {"avi small.avi", small.substr(24)},
                                                        {"avi big.avi", big.substr(24, 40000)}}) {
    Outcome got = Probe("get 127.0.0.1 -o got " + request);
    EXPECT_EQ(got.code, 0) << request << got.err;
    std::ifstream file(work_.path() / "got", std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(file), {}) == want) << request;
  }
  EXPECT_EQ(Probe("list 127.0.0.1 --raw").out, Exchange(Block("<1")).value_or("-"));

  const std::string closed = " --port " + std::to_string(FreeBasePort());
  const struct {
    std::string line;
    int code;
    bool out;  // else the text is on stderr
    std::string text;
  } cases[] = {
      {"discover 127.0.0.1", 0, true, "127.0.0.1  "},
      {"list 127.0.0.1", 0, true, "      16  audio    100.0 kB  -rw-rw-rw-  song.mp3\n"},
      {"list 127.0.0.1", 0, true, "photo     40.0 kB  -rw-rw-rw-  p\\xff\\x1b.jpg\n"},
      {"list --bytes 127.0.0.1", 0, true,
       "\n8 entries (4 video, 1 audio, 3 photo), 421987 bytes in all\n"},
      {"list 127.0.0.1 --charset ISO-8859-1", 0, true, "  p\xc3\xbf\\x1b.jpg\n"},
      {"list 127.0.0.1 --charset ASCII", 0, true, "  p\\xff\\x1b.jpg\n"},
      {"check 127.0.0.1", 0, true, "\nall 7 steps that apply worked\n"},
      {"load 127.0.0.1 --adapters 2 --seconds 1 --kind audio --digests", 0, true,
       "\nerrors        0\nfnv1a64 " + Fnv1a64(song) + " audio song.mp3\n"},
      {"get 127.0.0.1 audio nosuch.mp3 -o x", 1, false, "could not open"},
      {"list 127.0.0.1" + closed, 1, false, "Connection refused"},
      {"discover 127.0.0.1 --timeout 0.2" + closed, 1, false,
       "no server answered the probe on UDP port"},
      {"check 127.0.0.1 --timeout 0.2" + closed, 1, true, "3 of 3 steps FAILED"},
      {"load 127.0.0.1 --adapters 1 --seconds 0.1" + closed, 1, true, "\nerrors        1\n"},
      {"bogus", 2, false, "unknown command 'bogus'\nTry 'rureza-probe --help'"},
      {"--help", 0, true, "load: simulated adapters, 1-1000"},
      {"get 127.0.0.1 firmware x", 2, false, "takes no NAME"},
      {"list 127.0.0.1 --digests", 2, false, "--digests does not apply to list"},
      {"load 127.0.0.1 --seconds 1", 2, false, "load needs --adapters"},
      {"list --port 65533 127.0.0.1", 2, false, "--port takes a number"},
  };
  for (const auto& c : cases) {
    Outcome got = Probe(c.line);
    EXPECT_EQ(got.code, c.code) << c.line << got.err;
    EXPECT_NE((c.out ? got.out : got.err).find(c.text), std::string::npos) << c.line << "\n"
                                                                           << got.out << got.err;
  }
}

// Names as list shows them, pasted into get, fetch their files: in the adapter's character set
// (an "ö" as the terminal writes it, an ESC as \x1b) and as stored (a right-to-left override,
// which is never printed raw).
TEST_F(ProbeTest, NamesAsListShowsThemFetchTheirFilesWhenPasted) {
  const std::string names[] = {"Mot\u00f6rhead.mp3", "a\x1b.mp3", "\u202eevil.mp3"};
  for (const std::string& name : names) Media("audio/" + name, name);
  for (const std::string charset : {"CP1252", "stored"}) {
    settings_.library.charset = charset;
    Start();
    const std::string how = charset == "stored" ? "" : " --charset " + charset;
    Outcome listed = Probe("list 127.0.0.1" + how);
    std::set<std::string> fetched;
    for (size_t at = 0; (at = listed.out.find("-rw-rw-rw-  ", at)) != std::string::npos;) {
      at += 12;
      const std::string name = listed.out.substr(at, listed.out.find('\n', at) - at);
      EXPECT_EQ(Probe("get 127.0.0.1 audio " + name + " -o got" + how).code, 0) << name;
      std::ifstream file(work_.path() / "got", std::ios::binary);
      fetched.insert(std::string(std::istreambuf_iterator<char>(file), {}));
    }
    // The override cannot be written in CP1252: that file is not listed.
    EXPECT_EQ(fetched, std::set<std::string>(names, names + (how.empty() ? 3 : 2))) << listed.out;
    EXPECT_EQ(listed.out.find("\xe2\x80\xae"), std::string::npos);
    Stop();
  }
}

std::string Record(int32_t number, const std::string& name) {
  uint8_t record[kListingRecordSize];
  WriteListingRecord(number, name, 33206, 5, record);
  return std::string(reinterpret_cast<char*>(record), sizeof record);
}

// Servers that misbehave, each case a reply to every request: a bad byte after one good
// record, silence, a listing that trickles a byte every 100 ms, an MPEG stream without end, a
// listing without end (sent again and again), an empty listing.
TEST(ProbeMisbehavingServerTest, SaysWhereTheReplyWentWrongAndNeverWaitsForEver) {
  enum Way { kOnce, kTrickle, kEndless };
  std::string many;
  for (int i = 0; i < 1024; ++i) many += Record(4 * i, std::string(35, 'n') + ".mp3");
  const std::string empty = Block("<2"), block(kBlock, 'M');
  const struct {
    std::string reply;
    Way way;
    std::string line;
    int code;
    std::string text;
  } cases[] = {
      {Record(0, "a.mp3") + "x", kOnce, "list 127.0.0.1", 1,
       "a record that does not start with a digit at offset 64"},
      // A reply that closes early is not a whole one.
      {Record(0, "a.mp3"), kOnce, "list 127.0.0.1", 1, "no end block at offset 64"},
      {Block("5") + "abc", kOnce, "get 127.0.0.1 audio a.mp3", 1, "ended 2 bytes short"},
      // A silent server is not one that could not open the file.
      {"", kOnce, "get 127.0.0.1 audio a.mp3 --timeout 0.3", 1, "no byte came for 0.3 s"},
      {"", kOnce, "get 127.0.0.1 avi a.avi --timeout 0.3", 1, "no byte came for 0.3 s"},
      {Record(0, "a.mp3") + empty, kTrickle, "list 127.0.0.1 --timeout 0.5", 1,
       "the reply trickled: less than 1024 bytes came in 0.5 s at offset"},
      {empty, kEndless, "get 127.0.0.1 mpeg m.mpg -o m", 1,
       "more bytes than the reply announced at offset 131584"},
      {many, kEndless, "load 127.0.0.1 --adapters 1 --seconds 1", 0, "\nerrors        0\n"},
      {empty, kOnce, "check 127.0.0.1 --timeout 0.3", 1,
       "no entries: the server's media folders may be missing or empty (its log says which)"},
  };
  for (const auto& [reply, way, line, code, text] : cases) {
    TempDir dir;
    const uint16_t port = FreeBasePort();
    Socket listener = Socket::NewTcp(nullptr);
    const sockaddr_in address = LoopbackAddress(port);
    ASSERT_EQ(::bind(listener.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);
    ASSERT_TRUE(listener.Listen(1).ok());
    std::atomic<bool> done{false};
    std::thread fake([&, reply = reply, way = way] {
      auto send = [](const Socket& s, const std::string& b) {
        return ::send(s.fd(), b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
      };
      while (!done) {
        if (!WaitReadable(listener.fd(), 100)) continue;
        Socket client = listener.Accept(nullptr, nullptr);
        char request[256];
        // The whole request is read first: a close with unread bytes would be a reset.
        auto read = [&] {
          return WaitReadable(client.fd(), 10000) &&
                 ::recv(client.fd(), request, 256, MSG_WAITALL) == 256;
        };
        if (!read()) continue;
        if (std::string_view(request, 3) == "<34") {  // announces 64 KiB, then sends on and on
          if (!send(client, std::string(256, '\0') + block) || !read()) continue;
          if (!send(client, Block("32768") + block + block) || !read()) continue;
          for (int i = 0; i < 2000 && !done && send(client, block);) ++i;
        }
        for (size_t at = 0; way == kTrickle && at < reply.size() && !done; ++at) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          if (!send(client, reply.substr(at, 1))) break;
        }
        for (int i = 0; i < (way == kEndless ? 100000 : 1) && !done && send(client, reply);) ++i;
        if (reply.empty()) WaitReadable(client.fd(), 10000);  // silent until the probe gives up
      }
    });
    Outcome got = RunProbe(dir, port, line);
    done = true;
    fake.join();
    EXPECT_EQ(got.code, code) << line << got.err;
    const char* const kWays[] = {"errs", "trickles", "sends without end"};
    NoteFault("rureza-probe " + line + " against a server that " + kWays[way]);
    EXPECT_NE((code ? got.err + got.out : got.out).find(text), std::string::npos)
        << got.out << got.err;
    // The entries an endless listing brings are not all kept.
    rusage children{};
    EXPECT_TRUE(::getrusage(RUSAGE_CHILDREN, &children) == 0 && children.ru_maxrss < 100 << 10);
  }
}

}  // namespace
}  // namespace rureza::test
