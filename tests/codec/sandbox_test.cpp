// The converter's confinement, entered in a child process of the test's (a death test started
// anew, so that no codec state of the test's own reaches it): every format of the tests converts
// under it, and what it must not do fails. The fixtures are made before, in a folder the child
// finds in its environment.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "codec/codec_fixture.h"
#include "convert/photo_convert.h"
#include "convert/sandbox.h"
#include "convert/song_convert.h"
#include "support/process.h"

namespace rureza::test {
namespace {

constexpr char kFolderVariable[] = "RUREZA_SANDBOX_FIXTURES";

const std::pair<const char*, std::vector<std::string>> kSongs[] = {
    {"s.flac", {"-ac", "2"}},
    {"s.wav", {}},
    {"s.aiff", {}},
    {"s.w64", {}},
    {"s.m4a", {"-c:a", "aac"}},
    {"s.aac", {"-c:a", "aac"}},
    {"s.ogg", {"-c:a", "libvorbis"}},
    {"s.opus", {}},
    {"s.wma", {"-c:a", "wmav2"}},
    {"s.wv", {}},
    {"s.mka", {"-c:a", "libopus"}},
};
const char* const kPhotos[] = {"p.jpg", "p.png", "p.heic", "p.webp", "p.tif", "p.gif", "p.bmp"};

// A folder made in the parent, which the child finds in its environment.
class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    if (const char* made = std::getenv(kFolderVariable)) {
      folder_ = made;
      return;
    }
    dir_.emplace();
    folder_ = dir_->path().string();
    ::setenv(kFolderVariable, folder_.c_str(), 1);
  }
  void TearDown() override {
    if (dir_) ::unsetenv(kFolderVariable);
  }
  // The songs and photos, made by the tools two at a time (in the parent only).
  void MakeFixtures() {
    if (!dir_) return;
    std::vector<std::vector<std::string>> songs, photos, derived;
    for (const auto& [name, args] : kSongs) {
      songs.push_back({"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=1"});
      songs.back().insert(songs.back().end(), args.begin(), args.end());
      songs.back().insert(songs.back().end(), {"-y", folder_ + "/" + name});
    }
    for (const char* name : {"p.jpg", "p.png", "p.gif", "p.bmp"}) {
      photos.push_back({"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=s=320x240",
                        "-frames:v", "1", "-y", folder_ + "/" + name});
    }
    derived = {{"/usr/bin/heif-enc", "-o", folder_ + "/p.heic", folder_ + "/p.png"},
               {"/usr/bin/vips", "copy", folder_ + "/p.png", folder_ + "/p.webp"},
               {"/usr/bin/vips", "copy", folder_ + "/p.png", folder_ + "/p.tif"}};
    songs.insert(songs.end(), photos.begin(), photos.end());
    for (const auto* batch : {&songs, &derived}) {
      for (size_t i = 0; i < batch->size(); i += 2) {
        std::vector<std::unique_ptr<ChildProcess>> tools;
        for (size_t j = i; j < std::min(i + 2, batch->size()); ++j) {
          const std::vector<std::string>& command = (*batch)[j];
          tools.push_back(std::make_unique<ChildProcess>(
              command[0], std::vector<std::string>(command.begin() + 1, command.end()), folder_));
        }
        for (auto& tool : tools) ASSERT_EQ(tool->Wait(60000), 0) << tool->Output("err");
      }
    }
  }

  std::optional<TempDir> dir_;  // the parent's only
  std::string folder_;
};

// Descriptor 3 as the converter has it, a pipe, drained by a thread.
class Output {
 public:
  Output() {
    // Both ends above 3 first: either may have been given descriptor 3.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) std::abort();
    const int in = ::fcntl(ends[0], F_DUPFD_CLOEXEC, 10), out = ::fcntl(ends[1], F_DUPFD, 10);
    ::close(ends[0]);
    ::close(ends[1]);
    if (in < 0 || out < 0 || ::dup2(out, 3) != 3) std::abort();
    ::close(out);
    drain_ = std::thread([this, in] {
      char buffer[65536];
      for (ssize_t n; (n = ::read(in, buffer, sizeof buffer)) > 0;) {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_.append(buffer, size_t(n));
        arrived_.notify_all();
      }
    });
    drain_.detach();  // the child ends with it blocked in read
  }
  // The next count bytes written to descriptor 3.
  std::string Take(uint64_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(30), [&] { return bytes_.size() >= count; });
    std::string taken = bytes_.substr(0, count);
    bytes_.erase(0, count);
    return taken;
  }

 private:
  std::thread drain_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::string bytes_;  // guarded by mutex_
};

// In the child: confined, every fixture probed and converted. Says what failed on stderr.
void ConvertEverythingConfined(const std::string& folder) {
  Output output;
  const std::string notice = EnterSandbox();  // a sanitizer's build runs unconfined
  int failures = notice.empty() ? 0 : 1;
  if (failures) std::fprintf(stderr, "unconfined: %s\n", notice.c_str());
  InitPhotos("codec_tests");
  for (const auto& [name, args] : kSongs) {
    SourceFd source(folder + "/" + name);
    SongFacts facts;
    std::string error = ProbeSong(source.fd(), name, &facts);
    const uint64_t second = facts.sampleRate;
    SongRequest request{"", 48000, 256000, 0, 50};
    uint64_t written = 0;
    if (error.empty()) {
      error = ConvertSong(request, source.fd(), 3, [&](uint64_t bytes) { written = bytes; });
    }
    const std::string mp3 = output.Take(written);
    if (!error.empty() || facts.samples < second || facts.samples > second * 11 / 10 ||
        written != 50 * 768 || BadMp3Frames(mp3) != 0) {
      std::fprintf(stderr, "%s: %s, %llu samples, %llu bytes\n", name, error.c_str(),
                   (unsigned long long)facts.samples, (unsigned long long)written);
      ++failures;
    }
  }
  for (const char* name : kPhotos) {
    SourceFd source(folder + "/" + name);
    PhotoFacts facts;
    uint64_t bytes = 0;
    std::string error = ProbePhoto(source.fd(), name, &facts);
    if (error.empty()) error = ConvertPhoto(source.fd(), name, {160, 160}, 3, &bytes);
    const JpegShape shape = ShapeOf(output.Take(bytes));
    if (!error.empty() || facts.width != 320 || !shape.baseline || shape.width != 160 ||
        shape.height != 120) {
      std::fprintf(stderr, "%s: %s, %d x %d\n", name, error.c_str(), shape.width, shape.height);
      ++failures;
    }
  }
  std::fprintf(stderr, failures == 0 ? "all converted\n" : "%d failed\n", failures);
  std::fflush(stderr);
  _exit(failures == 0 ? 0 : 1);
}

TEST_F(SandboxTest, EveryFormatOfTheTestsConvertsUnderTheFilter) {
  MakeFixtures();
  EXPECT_EXIT(ConvertEverythingConfined(folder_), ::testing::ExitedWithCode(0), "all converted");
}

// In the child: confined, then each thing it must not do. Says what did not fail on stderr.
void TryWhatIsForbidden(const std::string& folder) {
  const int local = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int ends[2];
  if (local < 0 || ::pipe2(ends, O_CLOEXEC) != 0) _exit(2);
  const std::string notice = EnterSandbox();
  if (!notice.empty()) {
    std::fprintf(stderr, "unconfined: %s\n", notice.c_str());
    _exit(1);
  }
  int failures = 0;
  const auto refused = [&](const char* what, long result) {
    if (result != -1 || errno != EPERM) {
      std::fprintf(stderr, "%s: %ld (%s)\n", what, result, std::strerror(errno));
      ++failures;
    }
  };
  char* const argv[] = {const_cast<char*>("true"), nullptr};
  refused("exec", ::execve("/bin/true", argv, argv + 1));
  const pid_t child = ::fork();
  if (child == 0) _exit(0);
  refused("fork", child);
  refused("socket", ::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s/socket", folder.c_str());
  refused("connect", ::connect(local, reinterpret_cast<sockaddr*>(&address), sizeof address));
  refused("create", ::open((folder + "/new").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  refused("create to read", ::open((folder + "/new").c_str(), O_RDONLY | O_CREAT, 0600));
  refused("open to write", ::open("/dev/null", O_WRONLY | O_CLOEXEC));
  refused("open to read and write", ::open("/dev/null", O_RDWR | O_CLOEXEC));
  refused("truncate", ::open("/dev/null", O_RDONLY | O_TRUNC | O_CLOEXEC));
  refused("write to a pipe of its own", ::write(ends[1], "x", 1));
  // What it may do: read, write to its own descriptors, start threads.
  std::ifstream status("/proc/self/status");
  const std::string text((std::istreambuf_iterator<char>(status)), {});
  bool threaded = false;
  std::thread([&] { threaded = true; }).join();
  if (text.find("NoNewPrivs:\t1") == std::string::npos ||
      text.find("Seccomp:\t2") == std::string::npos || !threaded || ::write(2, "", 0) != 0) {
    std::fprintf(stderr, "not allowed what it needs, or not confined\n");
    ++failures;
  }
  std::fprintf(stderr, failures == 0 ? "all refused\n" : "%d allowed\n", failures);
  std::fflush(stderr);
  _exit(failures == 0 ? 0 : 1);
}

TEST_F(SandboxTest, ExecForkSocketsAndOpeningToWriteFailUnderTheFilter) {
#ifdef RUREZA_SANITIZED
  GTEST_SKIP() << "the sanitizers' builds run the converter without the filter";
#endif
  EXPECT_EXIT(TryWhatIsForbidden(folder_), ::testing::ExitedWithCode(0), "all refused");
}

}  // namespace
}  // namespace rureza::test
