// Measures an audio stream on loopback: throughput and server CPU time of an unpaced stream to
// a client that reads as fast as it can, and seek latency (from Play after a fast forward to
// the first byte from the new offset).
//
//   stream_bench [--size-mib N] [--runs N] [--seeks N] [--port P] [--dir DIR]
//
// Writes a test file of N MiB (default 1024) whose every 4-byte word holds its own offset, so
// the bytes after each seek are checked.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "request/dispatcher.h"
#include "server/activity_log.h"
#include "server/server.h"
#include "server/server_run.h"
#include "settings/server_settings.h"

namespace {

using Clock = std::chrono::steady_clock;

class QuietSink : public rureza::LogSink {
 public:
  void AddLine(std::string_view) override {}
  void Clear() override {}
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double ThreadCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

int Connect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  return fd;
}

void SendBlock(int fd, const std::string& text) {
  std::string block(256, '\0');
  block.replace(0, text.size(), text);
  if (::send(fd, block.data(), block.size(), MSG_NOSIGNAL) != 256) {
    std::perror("send");
    std::exit(1);
  }
}

// Reads exactly n bytes; false when the connection ends first.
bool ReadExact(int fd, char* buffer, size_t n) {
  for (size_t got = 0; got < n;) {
    ssize_t r = ::recv(fd, buffer + got, n - got, 0);
    if (r <= 0) return false;
    got += size_t(r);
  }
  return true;
}

// Reads and drops everything until nothing arrives for quietMs.
void Drain(int fd, int quietMs) {
  static char chunk[1 << 20];
  for (;;) {
    pollfd item{fd, POLLIN, 0};
    if (::poll(&item, 1, quietMs) <= 0) return;
    if (::recv(fd, chunk, sizeof chunk, 0) <= 0) return;
  }
}

void WriteTestFile(const std::filesystem::path& path, size_t bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<uint32_t> words(1 << 18);  // 1 MiB
  for (size_t at = 0; at < bytes; at += words.size() * 4) {
    for (size_t i = 0; i < words.size(); ++i) words[i] = uint32_t(at + 4 * i);
    out.write(reinterpret_cast<const char*>(words.data()),
              std::streamsize(std::min(words.size() * 4, bytes - at)));
  }
}

uint16_t FreePort() {
  std::mt19937 random(unsigned(::getpid()));
  return uint16_t(30000 + random() % 20000);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  size_t sizeMib = 1024;
  int runs = 3, seeks = 50;
  uint16_t port = FreePort();
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "rureza-bench";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--size-mib") sizeMib = std::strtoul(argv[i + 1], nullptr, 10);
    if (option == "--runs") runs = std::atoi(argv[i + 1]);
    if (option == "--seeks") seeks = std::atoi(argv[i + 1]);
    if (option == "--port") port = uint16_t(std::atoi(argv[i + 1]));
    if (option == "--dir") dir = argv[i + 1];
  }
  const size_t bytes = sizeMib << 20;
  std::filesystem::create_directories(dir);
  std::filesystem::path file = dir / "bench.mp3";
  if (!std::filesystem::exists(file) || std::filesystem::file_size(file) != bytes) {
    std::printf("writing %zu MiB test file %s\n", sizeMib, file.c_str());
    WriteTestFile(file, bytes);
  }

  rureza::SetLogSink(std::make_shared<QuietSink>());
  rureza::ServerSettings settings;
  settings.port = port;
  settings.clientLimit = 4;
  settings.logLineLimit = 1000;
  rureza::SetPathText(&settings.audioFolder, dir.string());
  rureza::SetCurrentSettings(settings);
  rureza::StartServer(rureza::ServeClient);
  if (!rureza::CurrentRun()->WaitForListenerOpened(5000)) {
    std::fprintf(stderr, "server did not start on port %u\n", port);
    return 1;
  }

  std::vector<char> buffer(1 << 20);
  std::printf("unpaced audio stream of %zu MiB on loopback\n", sizeMib);
  for (int run = 0; run < runs; ++run) {
    int fd = Connect(port);
    double cpuBefore = ProcessCpuSeconds(), readerBefore = ThreadCpuSeconds();
    Clock::time_point start = Clock::now();
    SendBlock(fd, "<31bench.mp3");
    size_t received = 0;
    for (ssize_t r; (r = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;) received += size_t(r);
    double wall = Seconds(Clock::now() - start);
    double server = (ProcessCpuSeconds() - cpuBefore) - (ThreadCpuSeconds() - readerBefore);
    ::close(fd);
    double gib = double(received) / double(1u << 30);
    std::printf("  run %d: %zu bytes in %.2f s = %.0f MB/s; server CPU %.2f s = %.2f s/GiB\n",
                run + 1, received, wall, double(received) / 1e6 / wall, server, server / gib);
    rureza::WaitForClientThreads(5000);
  }

  // Seek latency: fast forward, let the stream come to rest, then time Play.
  int fd = Connect(port);
  SendBlock(fd, "<31bench.mp3");
  ReadExact(fd, buffer.data(), 256);
  int control = Connect(uint16_t(port + 1));
  std::mt19937 random(42);
  std::vector<double> latencies;
  for (int i = 0; i < seeks; ++i) {
    uint32_t target = uint32_t(random() % (bytes / 2)) & ~3u;
    SendBlock(control, "<8" + std::string(1, '\0') + std::to_string(target));
    Drain(fd, 50);
    Clock::time_point play = Clock::now();
    SendBlock(control, "<3");
    uint32_t first = 0;
    if (!ReadExact(fd, reinterpret_cast<char*>(&first), 4)) break;
    latencies.push_back(Seconds(Clock::now() - play) * 1000);
    if (first != target) {
      std::fprintf(stderr, "seek %d: expected offset %u, got %u\n", i, target, first);
      return 1;
    }
  }
  SendBlock(control, "<4");
  Drain(fd, 200);
  ::close(control);
  ::close(fd);
  if (!latencies.empty()) {
    std::vector<double> sorted = latencies;
    std::sort(sorted.begin(), sorted.end());
    std::printf("seek latency over %zu seeks: median %.2f ms, min %.2f ms, p90 %.2f ms\n",
                sorted.size(), Median(sorted), sorted.front(), sorted[sorted.size() * 9 / 10]);
  }
  rureza::StopServer();
  rureza::WaitForThreadsToEnd(5000);
  return 0;
}
