#include "support/delivery_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <stdexcept>

#include "platform/syscalls.h"
#include "server/server.h"
#include "server/transfer.h"

namespace rureza::test {
namespace {

std::atomic<int64_t> g_readBudget{-1};  // -1: no limit
std::atomic<bool> g_actionPending{false};
std::function<void()> g_beforeFirstRead;  // set only while no server thread runs

ssize_t DisturbedRead(int fd, void* buffer, size_t length) {
  if (g_actionPending.exchange(false)) g_beforeFirstRead();
  int64_t budget = g_readBudget.load();
  if (budget < 0) return ::read(fd, buffer, length);
  if (budget == 0) {
    errno = EIO;
    return -1;
  }
  ssize_t n = ::read(fd, buffer, std::min<size_t>(length, static_cast<size_t>(budget)));
  if (n > 0) g_readBudget.fetch_sub(n);
  return n;
}

}  // namespace

void MakeSparseFile(const std::filesystem::path& path, uint64_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path.string());
  int result = ::ftruncate(fd, static_cast<off_t>(size));
  ::close(fd);
  if (result != 0) throw std::runtime_error("cannot size " + path.string());
}

std::optional<std::string> Fetch(uint16_t port, std::string_view text, size_t maxBytes) {
  AdapterClient client;
  if (!client.Connect(port) || !client.SendBlock(text)) return std::nullopt;
  return client.ReadToClose(kDefaultTimeoutMs * 3, maxBytes);
}

bool WaitForClientsToLeave() {
  return WaitUntil([] { return ClientCount() == 0; });
}

int32_t SendCalls() { return Traffic().sendCalls.load(); }

void FailFileReadsAfter(int64_t bytes) {
  g_readBudget = bytes;
  Sys().read = DisturbedRead;
}

void BeforeFirstFileRead(std::function<void()> action) {
  g_beforeFirstRead = std::move(action);
  g_actionPending = true;
  Sys().read = DisturbedRead;
}

void ClearFileReadFaults() {
  g_readBudget = -1;
  g_actionPending = false;
  g_beforeFirstRead = nullptr;
}

void DeliveryTest::TearDown() {
  ServerTest::TearDown();
  ResetSysCalls();
  ClearFileReadFaults();
}

}  // namespace rureza::test
