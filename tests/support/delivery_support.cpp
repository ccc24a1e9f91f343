#include "support/delivery_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "platform/syscalls.h"
#include "server/server.h"
#include "server/transfer.h"

namespace rureza::test {
namespace {

std::atomic<int64_t> g_readBudget{-1};  // -1: no limit
std::atomic<bool> g_growing{false};

// One read of up to length bytes by read(n); grow(n) stands in for the end of a growing file.
template <typename Read, typename Grow>
ssize_t Disturbed(size_t length, Read read, Grow grow) {
  int64_t budget = g_readBudget.load();
  if (budget == 0) {
    errno = EIO;
    return -1;
  }
  if (budget > 0) length = std::min<size_t>(length, static_cast<size_t>(budget));
  ssize_t n = read(length);
  if (n == 0 && g_growing) n = grow(length);
  if (n > 0 && budget > 0) g_readBudget.fetch_sub(n);
  return n;
}

ssize_t DisturbedRead(int fd, void* buffer, size_t length) {
  auto grow = [&](size_t n) {
    std::memset(buffer, 'G', n);
    return static_cast<ssize_t>(n);
  };
  return Disturbed(
      length, [&](size_t n) { return ::read(fd, buffer, n); }, grow);
}

ssize_t DisturbedSplice(int in, loff_t* inOffset, int out, loff_t* outOffset, size_t length,
                        unsigned flags) {
  struct stat info {};
  auto splice = [&](size_t n) { return ::splice(in, inOffset, out, outOffset, n, flags); };
  if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) return splice(length);
  return Disturbed(length, splice, [&](size_t n) {
    std::string grown(n, 'G');
    return ::write(out, grown.data(), grown.size());
  });
}

void Install() {
  Sys().read = DisturbedRead;
  Sys().splice = DisturbedSplice;
}

}  // namespace

void MakeSparseFile(const std::filesystem::path& path, uint64_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  int result = fd < 0 ? -1 : ::ftruncate(fd, static_cast<off_t>(size));
  if (fd >= 0) ::close(fd);
  if (result != 0) throw std::runtime_error("cannot make " + path.string());
}

std::optional<std::string> Fetch(uint16_t port, std::string_view text, size_t maxBytes) {
  const int clientsBefore = ClientCount();
  AdapterClient client;
  if (!client.Connect(port) || !client.SendBlock(text)) return std::nullopt;
  std::optional<std::string> reply = client.ReadToClose(kDefaultTimeoutMs * 3, maxBytes);
  if (!WaitUntil([&] { return ClientCount() <= clientsBefore; })) return std::nullopt;
  return reply;
}

int32_t SendCalls() { return Traffic().sendCalls.load(); }

void FailFileReadsAfter(int64_t bytes) {
  g_readBudget = bytes;
  // The calls are replaced only before the server starts; later calls change only the budget.
  if (Sys().read != DisturbedRead) Install();
}

void MakeFilesGrowWhileRead() {
  g_growing = true;
  Install();
}

void ResetFileFaults() {
  g_readBudget = -1;
  g_growing = false;
}

void DeliveryTest::TearDown() {
  ServerTest::TearDown();
  ResetSysCalls();
  ResetFileFaults();
}

}  // namespace rureza::test
