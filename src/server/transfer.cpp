#include "server/transfer.h"

#include <sys/socket.h>

#include <cerrno>

#include "platform/clock.h"
#include "platform/poll.h"
#include "platform/syscalls.h"

namespace rureza {
namespace {

constexpr int kNoTimeLimit = -1;

int32_t Receive(const Socket& socket, void* buffer, uint32_t length, int timeoutMs) {
  Traffic().receiveCalls.fetch_add(1, std::memory_order_relaxed);
  char* out = static_cast<char*>(buffer);
  uint32_t total = 0;
  uint32_t start = TickCountMs();
  while (total < length) {
    if (timeoutMs != kNoTimeLimit) {
      uint32_t elapsed = TickCountMs() - start;
      if (elapsed >= static_cast<uint32_t>(timeoutMs)) return -1;
      if (!WaitReadable(socket.fd(), timeoutMs - static_cast<int>(elapsed))) continue;
    }
    ssize_t n = Sys().recv(socket.fd(), out + total, length - total, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;  // failure, or the peer closed before the block was complete
    Traffic().bytesReceived.fetch_add(static_cast<uint32_t>(n), std::memory_order_relaxed);
    total += static_cast<uint32_t>(n);
  }
  return static_cast<int32_t>(total);
}

}  // namespace

TrafficCounters& Traffic() {
  static TrafficCounters counters;
  return counters;
}

int32_t SendAll(const Socket& socket, const void* data, uint32_t length) {
  Traffic().sendCalls.fetch_add(1, std::memory_order_relaxed);
  const char* in = static_cast<const char*>(data);
  uint32_t total = 0;
  do {
    ssize_t n = Sys().send(socket.fd(), in + total, length - total, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n == 0 && length > total)) return -1;
    Traffic().bytesSent.fetch_add(static_cast<uint32_t>(n), std::memory_order_relaxed);
    total += static_cast<uint32_t>(n);
  } while (total < length);
  return static_cast<int32_t>(total);
}

int32_t ReceiveAll(const Socket& socket, void* buffer, uint32_t length) {
  return Receive(socket, buffer, length, kNoTimeLimit);
}

int32_t ReceiveAllWithin(const Socket& socket, void* buffer, uint32_t length, uint32_t timeoutMs) {
  return Receive(socket, buffer, length, static_cast<int>(timeoutMs));
}

uint32_t DiscardPendingInput(const Socket& socket) {
  // An adapter that keeps sending must not keep its client thread here.
  constexpr uint32_t kMostDropped = 1u << 20;
  char chunk[4096];
  uint32_t dropped = 0;
  while (dropped < kMostDropped) {
    ssize_t n = Sys().recv(socket.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    Traffic().bytesReceived.fetch_add(static_cast<uint32_t>(n), std::memory_order_relaxed);
    dropped += static_cast<uint32_t>(n);
  }
  return dropped;
}

}  // namespace rureza
