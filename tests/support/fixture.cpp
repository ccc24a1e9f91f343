#include "support/fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "adapter/exchange.h"
#include "platform/thread.h"
#include "request/dispatcher.h"
#include "server/server.h"
#include "server/server_run.h"
#include "server/transfer.h"
#include "support/faults.h"
#include "support/reliability.h"

namespace rureza::test {

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void CapturingSink::AddLine(std::string_view line) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.emplace_back(line);
  all_.emplace_back(line);
  added_.notify_all();
}

void CapturingSink::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
  ++clears_;
}

bool CapturingSink::WaitForLine(const std::string& text, int timeoutMs) const {
  return WaitFor([&](const std::string& line) { return line == text; }, timeoutMs);
}

bool CapturingSink::WaitFor(const std::function<bool(const std::string&)>& pred,
                            int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return added_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return std::any_of(all_.begin(), all_.end(), pred); });
}

int CapturingSink::Count(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count(all_.begin(), all_.end(), text));
}

void CapturingSink::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
  all_.clear();
  clears_ = 0;
}

namespace {

bool PortFree(uint16_t port, int type) {
  Socket socket(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  return socket.valid() && socket.Bind(port).ok();
}

int CountEntries(const char* folder) {
  auto entries = std::filesystem::directory_iterator(folder);
  return static_cast<int>(std::distance(begin(entries), end(entries)));
}

}  // namespace

uint16_t FreeBasePort() {
  static std::mt19937 random(static_cast<unsigned>(::getpid()) * 7919u +
                             static_cast<unsigned>(std::random_device{}()));
  for (int attempt = 0; attempt < 1000; ++attempt) {
    // Below the ephemeral range (32768 up), which outgoing connections draw from.
    uint16_t port = static_cast<uint16_t>(20000 + random() % 12000);
    if (PortFree(port, SOCK_STREAM) && PortFree(port + 1, SOCK_STREAM) &&
        PortFree(port + 3, SOCK_DGRAM)) {
      return port;
    }
  }
  ADD_FAILURE() << "no free base port";
  return 0;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "rureza-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::Write(const std::string& relative,
                                     const std::string& content) const {
  std::filesystem::path full = path_ / relative;
  std::filesystem::create_directories(full.parent_path());
  std::ofstream(full, std::ios::binary | std::ios::trunc) << content;
  return full;
}

std::string PatternBytes(size_t n, size_t offset) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i + offset) % 251);
  return bytes;
}

std::string OffsetBytes(size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i & ~size_t{3}) >> (8 * (i & 3)));
  return bytes;
}

void MakeSparseFile(const std::filesystem::path& path, uint64_t size) {
  { std::ofstream touch(path, std::ios::app); }
  std::filesystem::resize_file(path, size);
}

std::string ReadUntilQuiet(AdapterConnection& connection, int quietMs) {
  std::string data;
  char chunk[65536];
  for (ssize_t n; (n = connection.Receive(chunk, sizeof chunk, quietMs)) > 0;) {
    data.append(chunk, static_cast<size_t>(n));
  }
  return data;
}

std::string Fnv1a64(const std::string& bytes) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3ull;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

int OpenDescriptorCount() { return CountEntries("/proc/self/fd"); }
int TaskCount() { return CountEntries("/proc/self/task"); }
int32_t SendCalls() { return Traffic().sendCalls.load(); }

void ServerTest::SetUp() {
  ASSERT_TRUE(WaitForThreadsToEnd(10000)) << "threads of an earlier test still run";
  baselineDescriptors_ = OpenDescriptorCount();
  log_ = std::make_shared<CapturingSink>();
  SetLogSink(log_);
  for (const auto& folder : {video(), audio(), photo()}) {
    std::filesystem::create_directories(folder);
  }
  settings_.port = FreeBasePort();
  settings_.clientLimit = 10;
  settings_.logLineLimit = 10000;
  SetPathText(&settings_.videoFolder, video().string());
  SetPathText(&settings_.audioFolder, audio().string());
  SetPathText(&settings_.photoFolder, photo().string());
}

void ServerTest::Start() {
  SetCurrentSettings(settings_);
  StartServer(ServeClient);
  std::string suffix = "] with port " + std::to_string(settings_.port);
  ASSERT_TRUE(log_->WaitFor([&](const std::string& line) {
    return line.starts_with("Server Started : [") && line.ends_with(suffix);
  }));
  std::shared_ptr<ServerRun> run = CurrentRun();
  ASSERT_TRUE(run && run->WaitForListenerOpened(10000) && run->WaitForDiscoveryOpened(10000));
}

void ServerTest::Stop() { StopServer(); }

void ServerTest::TearDown() {
  StopServer();
  EXPECT_TRUE(WaitForThreadsToEnd(15000)) << LiveThreadCount() << " server threads still run";
  EXPECT_EQ(ClientCount(), 0);
  SetLogSink(nullptr);
  ResetFaults();
  EXPECT_TRUE(WaitUntil([&] { return OpenDescriptorCount() <= baselineDescriptors_; }))
      << OpenDescriptorCount() << " descriptors open, " << baselineDescriptors_ << " before";
}

AdapterConnection ServerTest::Send(std::string_view block) {
  NoteInput(Printable(block));
  AdapterConnection connection;
  EXPECT_TRUE(connection.Connect(LoopbackAddress(port())) && connection.SendBlock(block));
  return connection;
}

AdapterConnection ServerTest::Control() {
  AdapterConnection connection;
  EXPECT_TRUE(connection.Connect(LoopbackAddress(static_cast<uint16_t>(port() + 1))));
  return connection;
}

AdapterConnection ServerTest::PlayAvi(const std::string& name, const std::string& probe,
                                      const std::string& end, const std::string& start) {
  NoteInput("AVI handshake \"" + probe + "\", \"" + end + "\", \"" + start + "\"");
  AdapterConnection connection;
  EXPECT_TRUE(connection.Connect(LoopbackAddress(port())));
  HandshakeAnswers answers;
  answers.aviBoundsFromHeader = false;
  answers.aviProbe = probe, answers.aviEnd = end, answers.aviStart = start;
  SendRequest(connection, MediaKind::kAvi, name, answers, nullptr, kLongReadMs);
  return connection;
}

AdapterConnection ServerTest::PlayMpeg(const std::string& name, const std::string& scale) {
  NoteInput("MPEG scale value \"" + scale + "\"");
  AdapterConnection connection;
  EXPECT_TRUE(connection.Connect(LoopbackAddress(port())));
  HandshakeAnswers answers;
  answers.mpegScale = scale;
  answers.listedSize = uint32_t(std::filesystem::file_size(video() / name));
  SendRequest(connection, MediaKind::kMpeg, name, answers, nullptr, kLongReadMs);
  return connection;
}

std::optional<std::string> ServerTest::Exchange(std::string_view raw) {
  NoteInput(Printable(raw, 40));
  const int clientsBefore = ClientCount();
  AdapterConnection connection;
  if (!connection.Connect(LoopbackAddress(port())) || !connection.Send(raw)) return std::nullopt;
  std::optional<std::string> reply = connection.ReadToClose(kLongReadMs);
  if (!WaitUntil([&] { return ClientCount() <= clientsBefore; })) return std::nullopt;
  return reply;
}

bool ServerTest::WaitForThreads(int n) {
  return WaitUntil([n] { return LiveThreadCount() == n; });
}

}  // namespace rureza::test
