// Load and soak against rureza-server as a process: at a client limit of 100, 110 adapters
// stream audio, AVI and MPEG files at once, each checking the SHA-256 of what it received
// against the file; and 100 Stop/Start cycles (SIGHUP) while streams run, after which every
// stream cut by a stop must still be an exact prefix of its file. The peak threads, descriptors
// and resident memory of the server and every error are reported (docs/RELIABILITY.md); errors
// must be none.
// RUREZA_SOAK_SECONDS makes the adapters of the first test go on that long (scripts/soak).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "delivery/stream_blocks.h"
#include "support/adapter_client.h"
#include "support/reliability_record.h"
#include "support/sha256.h"
#include "support/stream_test.h"
#include "support/test_server.h"

extern char** environ;

namespace rureza {
namespace {

using test::AdapterClient;
using test::kBlock;
using Clock = std::chrono::steady_clock;

int SoakSeconds() {
  const char* text = std::getenv("RUREZA_SOAK_SECONDS");
  return text ? std::atoi(text) : 0;
}

// rureza-server as a child process; its stdout (the activity log) goes to a file.
class ServerProcess {
 public:
  ServerProcess(const std::vector<std::string>& args, const std::filesystem::path& dir)
      : log_(dir / "server.log") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    std::vector<std::string> all = {RUREZA_SERVER_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  void Signal(int signal) const { ::kill(pid_, signal); }

  // Exit code, or -1 when it has not exited within timeoutMs.
  int Wait(int timeoutMs) {
    bool exited = test::WaitUntil(
        [&] {
          int status = 0;
          if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
          code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          pid_ = -1;
          return true;
        },
        timeoutMs);
    return exited ? code_ : -1;
  }

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  int Count(const std::string& text) const {
    int n = 0;
    for (const std::string& line : Lines()) n += line == text;
    return n;
  }
  // Lines that report a failure. Those a stop causes in a control thread still waiting for its
  // connection (2003, 2004), and the warning of a stop that outlasted its 100 ms wait (3001), are
  // part of a stop on a busy machine, not failures.
  std::vector<std::string> FailureLines() const {
    std::vector<std::string> failures;
    for (const std::string& line : Lines()) {
      bool failure = line.find("Error") != std::string::npos ||
                     line.find("Warming") != std::string::npos ||
                     line.find("did not exit") != std::string::npos ||
                     line.find("cannot be opened") != std::string::npos;
      if (failure && line.find("Error 2003") == std::string::npos &&
          line.find("Error 2004") == std::string::npos &&
          line.find("Warming 3001") == std::string::npos) {
        failures.push_back(line);
      }
    }
    return failures;
  }

 private:
  std::filesystem::path log_;
  pid_t pid_ = -1;
  int code_ = -1;
};

// The peak threads, descriptors and resident memory of a process, sampled every 20 ms.
class Peaks {
 public:
  explicit Peaks(pid_t pid) : pid_(pid), sampler_([this] { Sample(); }) {}
  ~Peaks() { Finish(); }
  void Finish() {
    running_ = false;
    if (sampler_.joinable()) sampler_.join();
  }
  int threads() const { return threads_; }
  int descriptors() const { return descriptors_; }
  long residentKb() const { return residentKb_; }

 private:
  void Sample() {
    const std::string proc = "/proc/" + std::to_string(pid_);
    while (running_) {
      std::ifstream status(proc + "/status");
      for (std::string line; std::getline(status, line);) {
        std::istringstream fields(line);
        std::string key;
        long value = 0;
        fields >> key >> value;
        if (key == "Threads:") threads_ = std::max(threads_.load(), int(value));
        if (key == "VmHWM:") residentKb_ = std::max(residentKb_.load(), value);
      }
      std::error_code error;
      int n = 0;
      for (auto it = std::filesystem::directory_iterator(proc + "/fd", error);
           !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++n;
      }
      descriptors_ = std::max(descriptors_.load(), n);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  const pid_t pid_;
  std::atomic<bool> running_{true};
  std::atomic<int> threads_{0}, descriptors_{0};
  std::atomic<long> residentKb_{0};
  std::thread sampler_;
};

// The media the adapters play, and what each stream must deliver.
struct Media {
  std::string song, movie, mpeg;
  static constexpr size_t kMovieStart = 2048;
  size_t movieEnd = 0;
  std::string songSha, movieSha, mpegSha;

  explicit Media(const test::TempDir& dir) {
    song = test::PatternBytes((3 << 20) + 4321, 1);
    movie = test::OffsetBytes(2 << 20);
    mpeg = test::PatternBytes(40 * kBlock, 2);
    movieEnd = movie.size() - 70000;
    dir.Write("audio/song.mp3", song);
    dir.Write("video/movie.avi", movie);
    dir.Write("video/movie.mpg", mpeg);
    songSha = test::Sha256Hex(song);
    movieSha = test::Sha256Hex(std::string_view(movie).substr(kMovieStart, movieEnd - kMovieStart));
    mpegSha = test::Sha256Hex(std::string_view(mpeg).substr(kBlock));
  }
};

struct Tally {
  std::atomic<int> verified{0};  // streams whose SHA-256 matched
  std::atomic<int> cut{0};       // streams a stop ended early, an exact prefix of their file
  std::atomic<int> refused{0};   // connections refused while the server was stopped
  std::atomic<int64_t> bytes{0};
  std::atomic<int> errors{0};
  std::mutex mutex;
  std::vector<std::string> errorTexts;  // guarded by mutex

  void Error(const std::string& text) {
    ++errors;
    std::lock_guard<std::mutex> lock(mutex);
    if (errorTexts.size() < 20) errorTexts.push_back(text);
  }
};

// One stream of kind 0 (audio), 1 (AVI) or 2 (MPEG), checked as a whole. With cutsAllowed
// (the server may stop under it) a shorter stream passes when it is an exact prefix. held runs
// within an MPEG handshake, before the adapter's last answer: the server's client thread waits
// for it meanwhile.
void PlayOne(uint16_t port, int kind, const Media& media, bool cutsAllowed, Tally& tally,
             const std::function<void()>& held = {}) {
  AdapterClient client;
  if (!client.Connect(port, 30000)) {
    if (cutsAllowed) {
      ++tally.refused;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } else {
      tally.Error("connect failed");
    }
    return;
  }
  std::string head, body;
  const std::string* file = nullptr;
  size_t from = 0, to = 0;
  const std::string* sha = nullptr;
  bool complete = true;
  auto expect = [&](std::optional<std::string> got, const std::string& want) {
    complete = complete && got == want;
  };
  if (kind == 0) {
    client.SendBlock("<31song.mp3");
    expect(client.ReadExact(256, 60000), LengthBlock(int32_t(media.song.size())));
    file = &media.song, from = 0, to = media.song.size(), sha = &media.songSha;
  } else if (kind == 1) {
    client.SendBlock("<32movie.avi");
    std::string filesize = FilesizeBlock(int32_t(media.movie.size()));
    std::string header = media.movie.substr(0, kBlock);
    expect(client.ReadExact(3 * 256 + 2 * kBlock, 60000),
           filesize + header + filesize + header + filesize);
    client.SendBlock("0");
    expect(client.ReadExact(kBlock, 60000), header);
    client.SendBlock(std::to_string(media.movieEnd));
    client.SendBlock(std::to_string(Media::kMovieStart));
    expect(client.ReadExact(256, 60000), StartBlock(int32_t(media.movie.size())));
    file = &media.movie, from = Media::kMovieStart, to = media.movieEnd, sha = &media.movieSha;
  } else {
    client.SendBlock("<34movie.mpg");
    const size_t tail = media.mpeg.size() - kBlock;
    expect(client.ReadExact(256 + kBlock, 60000),
           std::string(256, '\0') + media.mpeg.substr(0, kBlock));
    client.SendBlock("1");
    expect(
        client.ReadExact(256 + 2 * kBlock, 60000),
        TailPositionBlock(uint32_t(tail)) + media.mpeg.substr(tail) + media.mpeg.substr(0, kBlock));
    if (held) held();
    client.SendBlock("0");
    file = &media.mpeg, from = kBlock, to = media.mpeg.size(), sha = &media.mpegSha;
  }
  if (complete) body = client.ReadToClose(120000, 64u << 20).value_or("");
  tally.bytes += int64_t(body.size());
  if (complete && test::Sha256Hex(body) == *sha) {
    ++tally.verified;
  } else if (cutsAllowed && body.size() < to - from &&
             file->compare(from, body.size(), body) == 0) {
    ++tally.cut;
  } else {
    tally.Error(std::string(kind == 0   ? "audio"
                            : kind == 1 ? "AVI"
                                        : "MPEG") +
                " stream of " + std::to_string(body.size()) + " bytes did not match" +
                (complete ? "" : " (handshake)"));
  }
}

class LoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.path() / "photo");
    port_ = test::FreeBasePort();
  }
  std::vector<std::string> Args(int clients) const {
    return {"--port",      std::to_string(port_),
            "--clients",   std::to_string(clients),
            "--audio",     (dir_.path() / "audio").string(),
            "--video",     (dir_.path() / "video").string(),
            "--photo",     (dir_.path() / "photo").string(),
            "--log-lines", "10000"};
  }
  // Waits until the server accepts connections.
  bool Serving() {
    return test::WaitUntil(
        [&] {
          AdapterClient probe;
          return probe.Connect(port_, 200);
        },
        20000);
  }
  void Report(const std::string& name, const std::string& value) {
    test::RecordFigure(name, value);
    std::printf("  %-44s %s\n", name.c_str(), value.c_str());
  }
  void ReportErrors(Tally& tally, const ServerProcess& server) {
    std::vector<std::string> failures = server.FailureLines();
    Report("adapter errors", std::to_string(tally.errors.load()));
    Report("server failure lines", std::to_string(failures.size()));
    EXPECT_EQ(tally.errors.load(), 0);
    for (const std::string& text : tally.errorTexts) ADD_FAILURE() << text;
    for (const std::string& line : failures) ADD_FAILURE() << "server: " << line;
  }

  test::TempDir dir_;
  uint16_t port_ = 0;
};

TEST_F(LoadTest, HundredAndTenAdaptersStreamAtOnceAtAClientLimitOfHundred) {
  const Media media(dir_);
  ServerProcess server(Args(100), dir_.path());
  ASSERT_TRUE(Serving());
  Peaks peaks(server.pid());
  const int seconds = SoakSeconds();
  const auto start = Clock::now();
  const auto until = start + std::chrono::seconds(seconds);
  Tally tally;
  // The first streams are held in their handshake until the server serves the limit's worth
  // of them at once; the other ten adapters wait for a slot meanwhile.
  std::atomic<int> streaming{0};
  const std::function<void()> holdFirst = [&] {
    ++streaming;
    test::WaitUntil([&] { return streaming >= 100; }, 60000);
  };
  std::vector<std::thread> adapters;
  for (int a = 0; a < 110; ++a) {
    adapters.emplace_back([&] {
      // Two rounds of the three kinds each, or until the soak's time is up.
      for (int round = 0; round < 2 || Clock::now() < until; ++round) {
        for (int kind : {2, 1, 0}) {
          PlayOne(port_, kind, media, false, tally,
                  round == 0 && kind == 2 ? holdFirst : std::function<void()>());
        }
        if (seconds > 0 && Clock::now() >= until) break;
      }
    });
  }
  for (std::thread& adapter : adapters) adapter.join();
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  peaks.Finish();
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(15000), 0);

  std::printf("110 adapters at a client limit of 100 for %.0f s:\n", took);
  Report("adapters / client limit", "110 / 100");
  Report("duration (s)", std::to_string(int(took + 0.5)));
  Report("streams verified by SHA-256", std::to_string(tally.verified.load()));
  Report("bytes verified (MiB)", std::to_string(tally.bytes.load() >> 20));
  Report("peak server threads", std::to_string(peaks.threads()));
  Report("peak server descriptors", std::to_string(peaks.descriptors()));
  Report("peak server resident memory (MiB)", std::to_string(peaks.residentKb() / 1024));
  ReportErrors(tally, server);
  EXPECT_GE(tally.verified.load(), 110 * 6);
  // Every adapter was served: at most the limit of them at once, the rest in turn.
  EXPECT_GE(server.Count("Maximum users is 100, please connect later."), 1);
}

TEST_F(LoadTest, HundredStopStartCyclesWhileStreamsRun) {
  const Media media(dir_);
  ServerProcess server(Args(100), dir_.path());
  ASSERT_TRUE(Serving());
  Peaks peaks(server.pid());
  Tally tally;
  std::atomic<bool> cycling{true};
  std::vector<std::thread> adapters;
  for (int a = 0; a < 30; ++a) {
    adapters.emplace_back([&, a] {
      for (int i = 0; cycling; ++i) PlayOne(port_, (a + i) % 3, media, true, tally);
    });
  }
  const int cycles = 100;
  int restarted = 0;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    // Let streams get going, then stop and start the server under them.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    server.Signal(SIGHUP);
    restarted += test::WaitUntil(
        [&] { return server.Count("Start Running Media Server...") == cycle + 1; }, 20000);
  }
  cycling = false;
  for (std::thread& adapter : adapters) adapter.join();
  // After the last start, a whole stream of each kind.
  Tally after;
  ASSERT_TRUE(Serving());
  for (int kind = 0; kind < 3; ++kind) PlayOne(port_, kind, media, false, after);
  peaks.Finish();
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(15000), 0);

  std::printf("%d Stop/Start cycles (SIGHUP) under 30 adapters:\n", cycles);
  Report("stop/start cycles", std::to_string(restarted));
  Report("stops that outlasted their 100 ms wait (3001)",
         std::to_string(server.Count("System Warming 3001! Please Contact to Developers!")));
  Report("streams verified by SHA-256", std::to_string(tally.verified.load()));
  Report("streams cut by a stop, exact prefixes", std::to_string(tally.cut.load()));
  Report("connections refused while stopped", std::to_string(tally.refused.load()));
  Report("peak server threads", std::to_string(peaks.threads()));
  Report("peak server descriptors", std::to_string(peaks.descriptors()));
  Report("peak server resident memory (MiB)", std::to_string(peaks.residentKb() / 1024));
  EXPECT_EQ(restarted, cycles);
  EXPECT_EQ(after.verified.load(), 3);
  EXPECT_GT(tally.verified.load() + tally.cut.load(), 0);
  tally.errors += after.errors.load();
  ReportErrors(tally, server);
}

}  // namespace
}  // namespace rureza
