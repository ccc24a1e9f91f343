// Measures the listing, still image and firmware replies of the real server on loopback:
// records per second (and the time to the first record) for a folder of many files, MB/s for
// large files, the server's allocations during a listing, and resident memory during a
// transfer. Not a test: run it by hand on a quiet machine.
//   delivery_bench [--files N] [--mib M] [--dir PARENT]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "request/dispatcher.h"
#include "server/activity_log.h"
#include "server/server.h"
#include "server/server_run.h"
#include "settings/server_settings.h"

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

// Every allocation of the process is counted, so a listing's own allocations show.
void* operator new(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// Kept out of line: inlined into a caller, GCC's optimiser takes the free() for a mismatch with
// the operator new that allocated the block.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace rureza {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTimeoutMs = 120000;
constexpr int kRuns = 3;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class QuietSink : public LogSink {
 public:
  void AddLine(std::string_view line) override {
    if (line.find("Error") != std::string_view::npos || line.find("Can Not") == 0) {
      std::fprintf(stderr, "server: %.*s\n", static_cast<int>(line.size()), line.data());
    }
  }
  void Clear() override {}
};

long ResidentKib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return -1;
}

// One request on a fresh connection; calls onData for every piece until the server closes.
// False on a time-out or a failed connection.
template <typename OnData>
bool Request(uint16_t port, const std::string& text, OnData onData) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string block = text;
  block.resize(256, '\0');
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::send(fd, block.data(), block.size(), MSG_NOSIGNAL) == 256;
  static char buffer[1 << 16];
  auto deadline = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
  while (ok) {
    pollfd item{fd, POLLIN, 0};
    if (Clock::now() >= deadline || ::poll(&item, 1, 1000) < 0) {
      ok = false;
      break;
    }
    if (item.revents == 0) continue;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    onData(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

void BenchListing(uint16_t port, int files) {
  double best = 0;
  for (int run = 0; run < kRuns; ++run) {
    size_t bytes = 0;
    double firstRecordSeconds = -1;
    long allocationsBefore = g_allocations.load();
    Clock::time_point start = Clock::now();
    bool ok = Request(port, "<1", [&](const char*, size_t n) {
      if (bytes == 0) firstRecordSeconds = SecondsSince(start);
      bytes += n;
    });
    double seconds = SecondsSince(start);
    WaitForClientThreads(10000);
    long allocations = g_allocations.load() - allocationsBefore;
    size_t records = bytes >= 256 ? (bytes - 256) / 64 : 0;
    // The photo folder holds the large still image too.
    if (!ok || records != static_cast<size_t>(files) + 1) {
      std::printf("listing: FAILED (%zu of %d records)\n", records, files + 1);
      return;
    }
    best = std::max(best, records / seconds);
    std::printf(
        "listing: %zu records in %.3f s = %.0f records/s; first record after %.2f ms; "
        "%ld allocations in the process during the listing\n",
        records, seconds, records / seconds, firstRecordSeconds * 1000, allocations);
  }
  std::printf("listing: best %.0f records/s\n", best);
}

void BenchFile(uint16_t port, const char* what, const std::string& request, uint64_t length) {
  for (int run = 0; run < kRuns; ++run) {
    std::atomic<bool> done{false};
    long baseline = ResidentKib("VmRSS:");
    std::atomic<long> peak{baseline};
    std::thread sampler([&] {
      while (!done.load()) {
        peak = std::max(peak.load(), ResidentKib("VmRSS:"));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    uint64_t bytes = 0;
    Clock::time_point start = Clock::now();
    bool ok = Request(port, request, [&](const char*, size_t n) { bytes += n; });
    double seconds = SecondsSince(start);
    done = true;
    sampler.join();
    WaitForClientThreads(10000);
    if (!ok || bytes < length + 256) {
      std::printf("%s: FAILED (%llu bytes)\n", what, static_cast<unsigned long long>(bytes));
      return;
    }
    std::printf(
        "%s: %.0f MiB in %.3f s = %.0f MB/s; resident %ld KiB before, at most %ld KiB "
        "during (+%ld KiB)\n",
        what, bytes / 1048576.0, seconds, bytes / seconds / 1e6, baseline, peak.load(),
        peak.load() - baseline);
  }
}

void WriteFile(const std::filesystem::path& path, uint64_t length) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 + 7);
  for (uint64_t left = length; left > 0;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
    out.write(block.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
}

int Main(int argc, char** argv) {
  int files = 100000;
  uint64_t mib = 1024;
  std::filesystem::path parent = std::filesystem::temp_directory_path();
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--files") files = std::atoi(argv[i + 1]);
    if (option == "--mib") mib = std::strtoull(argv[i + 1], nullptr, 10);
    if (option == "--dir") parent = argv[i + 1];
  }
  std::string pattern = (parent / "rureza-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return 1;
  const std::filesystem::path root = pattern;
  for (const char* folder : {"video", "audio", "photo"}) {
    std::filesystem::create_directories(root / folder);
  }
  std::printf("creating %d files and two %llu MiB files under %s\n", files,
              static_cast<unsigned long long>(mib), root.c_str());
  for (int i = 0; i < files; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "clip%06d.avi", i);
    int fd = ::open((root / "video" / name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
  }
  const uint64_t length = mib << 20;
  WriteFile(root / "photo" / "big.jpg", std::min<uint64_t>(length, (2ull << 30) - 1));
  WriteFile(root / "firmware.bin", length);

  SetLogSink(std::make_shared<QuietSink>());
  ServerSettings settings;
  settings.port = 23456;
  settings.clientLimit = 4;
  settings.logLineLimit = 1000;
  SetPathText(&settings.videoFolder, (root / "video").string());
  SetPathText(&settings.audioFolder, (root / "audio").string());
  SetPathText(&settings.photoFolder, (root / "photo").string());
  SetPathText(&settings.firmwareFile, (root / "firmware.bin").string());
  if (const char* port = std::getenv("RUREZA_BENCH_PORT")) settings.port = std::atoi(port);
  SetCurrentSettings(settings);
  StartServer(ServeClient);
  std::shared_ptr<ServerRun> run = CurrentRun();
  if (!run || !run->WaitForListenerOpened(10000)) {
    std::printf("the server did not start on port %u\n", settings.port);
    return 1;
  }

  BenchListing(settings.port, files);
  BenchFile(settings.port, "still image", "<33big.jpg", std::min<uint64_t>(length, INT32_MAX));
  BenchFile(settings.port, "firmware", "<7", length);

  StopServer();
  WaitForThreadsToEnd(10000);
  SetLogSink(nullptr);
  std::filesystem::remove_all(root);
  return 0;
}

}  // namespace
}  // namespace rureza

int main(int argc, char** argv) { return rureza::Main(argc, argv); }
