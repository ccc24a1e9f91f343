// Load and soak against rureza-server as a process: at a client limit of 100, rureza-probe's
// 110 adapters fetch every kind of file at once, each fetch checked by its digest against the
// file; and 100 Stop/Start cycles (SIGHUP) under streams, a stream cut by a stop an exact
// prefix of its reply. The server's peak memory and every error go to
// docs/RELIABILITY.md; errors must be none. RUREZA_SOAK_SECONDS makes the first test's adapters
// go on that long (scripts/soak).
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/kinds.h"
#include "support/process.h"
#include "support/reliability.h"

namespace rureza::test {
namespace {

using Clock = std::chrono::steady_clock;

// rureza-server at a client limit of 100. Its files are patterns that show where a byte came
// from, not media: with conversion off they go as they are (with it on, a .jpg that is no picture
// is not sent).
class LoadedServer : public ChildProcess {
 public:
  LoadedServer(const std::filesystem::path& dir, uint16_t port)
      : ChildProcess(RUREZA_SERVER_BINARY,
                     {"--port", std::to_string(port), "--clients", "100", "--log-lines", "10000",
                      "--audio", (dir / "audio").string(), "--video", (dir / "video").string(),
                      "--photo", (dir / "photo").string(), "--no-convert"},
                     dir) {}
  // Notes the peak of resident memory the kernel kept, then stops the server; true when it
  // exits with 0 in time.
  bool Terminate() {
    std::ifstream status("/proc/" + std::to_string(pid()) + "/status");
    for (std::string key; status >> key;) {
      if (key == "VmHWM:") status >> residentKb;
    }
    Signal(SIGTERM);
    return Wait(15000) == 0;
  }
  // Lines that report a failure, but for those of a stop on a busy machine: a control thread
  // still waiting for its connection (2003, 2004), a stop that outlasted its wait (3001).
  std::vector<std::string> FailureLines() const {
    std::vector<std::string> failures;
    std::istringstream out(Output());
    for (std::string line; std::getline(out, line);) {
      bool failure = false;
      for (const char* word : {"Error", "Warming", "did not exit", "cannot be opened"})
        failure |= line.find(word) != std::string::npos;
      for (const char* stop : {"Error 2003", "Error 2004", "Warming 3001"})
        failure &= line.find(stop) == std::string::npos;
      if (failure) failures.push_back(line);
    }
    return failures;
  }
  long residentKb = 0;
};

struct Tally {
  std::atomic<int> whole{0};    // streams that matched their reply
  std::atomic<int> cut{0};      // streams a stop ended early, an exact prefix of their reply
  std::atomic<int> refused{0};  // connections refused while the server was stopped
  std::atomic<int> errors{0};   // streams that matched neither
};

class LoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (char kind : std::string("avms")) dir_.Write(KindFile(kind), files_.at(kind));
  }
  bool Serving() {
    return WaitUntil([&] { return AdapterConnection().Connect(LoopbackAddress(port_), 200); },
                     20000);
  }
  // One stream of kind, compared with its reply whole or, cut by a stop, as an exact prefix.
  void PlayOne(char kind, Tally& tally) {
    AdapterConnection client;
    if (!client.Connect(LoopbackAddress(port_), 30000)) {
      ++tally.refused;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return;
    }
    std::string got;
    SendRequest(client, KindOf(kind), KindRequestName(kind),
                FairAnswers(kind, files_.at(kind).size()), &got, 120000);
    got += client.ReadToClose(120000).value_or("");
    const std::string reply = ReplyTo(kind, files_.at(kind));
    ++(got == reply ? tally.whole : reply.starts_with(got) ? tally.cut : tally.errors);
    EXPECT_TRUE(reply.starts_with(got)) << KindName(kind) << " of " << got.size() << " bytes";
  }
  void Report(const std::string& name, int64_t value) {
    NoteFigure(name, std::to_string(value));
    std::printf("  %-46s %lld\n", name.c_str(), static_cast<long long>(value));
  }
  void ReportPeaksAndErrors(int errors, const LoadedServer& server) {
    std::vector<std::string> failures = server.FailureLines();
    Report("peak server resident memory (MiB)", server.residentKb / 1024);
    Report("adapter errors", errors);
    Report("server failure lines", int64_t(failures.size()));
    for (const std::string& line : failures) ADD_FAILURE() << "server: " << line;
  }

  TempDir dir_;
  const uint16_t port_ = FreeBasePort();
  const std::map<char, std::string> files_ = {{'a', PatternBytes((3 << 20) + 4321, 1)},
                                              {'v', OffsetBytes(2 << 20)},
                                              {'m', PatternBytes(40 * kBlock, 2)},
                                              {'s', PatternBytes(3 << 20, 4)}};
};

TEST_F(LoadTest, HundredAndTenAdaptersFetchEveryKindAtAClientLimitOfHundred) {
  LoadedServer server(dir_.path(), port_);
  ASSERT_TRUE(Serving());
  const char* soak = std::getenv("RUREZA_SOAK_SECONDS");
  TempDir probeDir;
  ChildProcess probe(RUREZA_PROBE_BINARY,
                     {"load", "127.0.0.1", "--port", std::to_string(port_), "--adapters", "110",
                      "--seconds", soak ? soak : "10", "--timeout", "60", "--digests"},
                     probeDir.path());
  EXPECT_EQ(probe.Wait(soak ? (std::atoi(soak) + 120) * 1000 : 180000), 0) << probe.Output("err");
  EXPECT_TRUE(server.Terminate());
  // Every fetch of a file gave the same bytes, and they are the file's (the AVI and MPEG files
  // are no RIFF files: their movie data and stream are the whole file).
  const std::string out = probe.Output();
  for (char kind : std::string("avms")) {
    const std::string line = "fnv1a64 " + Fnv1a64(files_.at(kind)) + " " + KindName(KindOf(kind)) +
                             " " + KindRequestName(kind);
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  }
  // Every adapter was served: at most the limit of them at once, the rest in turn.
  EXPECT_GE(server.Count("Maximum users is 100, please connect later."), 1);
  std::printf("110 adapters at a client limit of 100 (rureza-probe load):\n%s", out.c_str());
  NoteFigure("adapters / client limit", "110 / 100");
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    const size_t gap = line.find("  ");
    if (gap != std::string::npos && !line.starts_with(" ") && !line.starts_with("load")) {
      NoteFigure(line.substr(0, gap), line.substr(line.find_first_not_of(' ', gap)));
    }
    if (line.starts_with("requests")) {  // "... N fetches": each checked by its digest
      NoteFigure("replies checked by digest", line.substr(line.rfind(", ") + 2));
    }
  }
  ReportPeaksAndErrors(0, server);
}

TEST_F(LoadTest, HundredStopStartCyclesWhileStreamsRun) {
  LoadedServer server(dir_.path(), port_);
  ASSERT_TRUE(Serving());
  Tally tally, after;
  std::atomic<bool> cycling{true};
  std::vector<std::thread> adapters;
  for (int a = 0; a < 30; ++a) {
    adapters.emplace_back([&, a] {
      for (int i = 0; cycling; ++i) PlayOne("avm"[(a + i) % 3], tally);
    });
  }
  int restarted = 0;
  for (int cycle = 1; cycle <= 100; ++cycle) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // let streams get going
    server.Signal(SIGHUP);
    restarted += WaitUntil(
        [&] { return server.Count("Start Running Media Server...") == cycle + 1; }, 20000);
  }
  cycling = false;
  for (std::thread& adapter : adapters) adapter.join();
  ASSERT_TRUE(Serving());
  for (char kind : {'a', 'v', 'm'}) PlayOne(kind, after);  // whole after the last start
  EXPECT_TRUE(server.Terminate());
  std::printf("100 Stop/Start cycles (SIGHUP) under 30 adapters:\n");
  Report("stop/start cycles", restarted);
  Report("stops that outlasted their 100 ms wait (3001)",
         server.Count("System Warming 3001! Please Contact to Developers!"));
  Report("streams checked byte for byte", tally.whole + after.whole);
  Report("streams cut by a stop, exact prefixes", tally.cut);
  Report("connections refused while stopped", tally.refused);
  EXPECT_EQ(restarted, 100);
  EXPECT_EQ(after.whole.load(), 3);
  EXPECT_GT(tally.whole.load() + tally.cut.load(), 0);
  ReportPeaksAndErrors(tally.errors + after.errors, server);
}

}  // namespace
}  // namespace rureza::test
