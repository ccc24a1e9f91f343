#include "support/test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <thread>

#include "platform/thread.h"
#include "server/server.h"
#include "server/server_run.h"

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

std::vector<std::string> CapturingSink::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> CapturingSink::AllLines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return all_;
}

int CapturingSink::clears() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clears_;
}

bool CapturingSink::WaitForLine(const std::string& text, int timeoutMs) const {
  return WaitFor([&](const std::string& line) { return line == text; }, timeoutMs);
}

bool CapturingSink::WaitFor(const std::function<bool(const std::string&)>& pred,
                            int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return added_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (const std::string& line : all_) {
      if (pred(line)) return true;
    }
    return false;
  });
}

int CapturingSink::Count(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const std::string& line : all_) n += line == text;
  return n;
}

void CapturingSink::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
  all_.clear();
  clears_ = 0;
}

namespace {

bool PortFree(uint16_t port, int type) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return free;
}

}  // namespace

uint16_t FreeBasePort() {
  static std::mt19937 random(static_cast<unsigned>(::getpid()) * 7919u +
                             static_cast<unsigned>(std::random_device{}()));
  for (int attempt = 0; attempt < 1000; ++attempt) {
    // Below the kernel's ephemeral range (32768 up), which outgoing connections draw from.
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
  char* made = ::mkdtemp(pattern.data());
  if (!made) throw std::runtime_error("mkdtemp failed");
  path_ = made;
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
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return full;
}

std::string PatternBytes(size_t n, size_t offset) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i + offset) % 251);
  return bytes;
}

int OpenDescriptorCount() {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++n;
  }
  return n;
}

int TaskCount() {
  int n = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++n;
  }
  return n;
}

void ServerTest::SetUp() {
  ASSERT_TRUE(WaitForThreadsToEnd(10000)) << "threads of an earlier test still run";
  baselineDescriptors_ = OpenDescriptorCount();
  log_ = std::make_shared<CapturingSink>();
  SetLogSink(log_);
  std::filesystem::create_directories(video());
  std::filesystem::create_directories(audio());
  std::filesystem::create_directories(photo());
  settings_.port = FreeBasePort();
  settings_.clientLimit = 10;
  settings_.logLineLimit = 10000;
  SetPathText(&settings_.videoFolder, video().string());
  SetPathText(&settings_.audioFolder, audio().string());
  SetPathText(&settings_.photoFolder, photo().string());
}

void ServerTest::Start() {
  SetCurrentSettings(settings_);
  StartServer();
  std::string suffix = "] with port " + std::to_string(settings_.port);
  ASSERT_TRUE(log_->WaitFor([&](const std::string& line) {
    return line.rfind("Server Started : [", 0) == 0 && line.size() > suffix.size() &&
           line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0;
  }));
  std::shared_ptr<ServerRun> run = CurrentRun();
  ASSERT_TRUE(run);
  ASSERT_TRUE(run->WaitForListenerOpened(10000));
  ASSERT_TRUE(run->WaitForDiscoveryOpened(10000));
}

void ServerTest::Stop() { StopServer(); }

void ServerTest::TearDown() {
  StopServer();
  EXPECT_TRUE(WaitForThreadsToEnd(15000)) << LiveThreadCount() << " server threads still run";
  EXPECT_EQ(ClientCount(), 0);
  SetLogSink(nullptr);
  EXPECT_TRUE(WaitUntil([&] { return OpenDescriptorCount() <= baselineDescriptors_; }))
      << OpenDescriptorCount() << " descriptors open, " << baselineDescriptors_ << " before";
}

}  // namespace rureza::test
