#include "server/transfer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/poll.h"
#include "platform/syscalls.h"
#include "server/client_activity.h"

namespace rureza {
namespace {

constexpr int kNoTimeLimit = -1;

void CountSent(ssize_t n) {
  TrafficCounters& traffic = Traffic();
  traffic.bytesSent.fetch_add(static_cast<uint32_t>(n), std::memory_order_relaxed);
  traffic.bytesSentTotal.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
  CountClientBytesSent(static_cast<uint64_t>(n));
}

void CountReceived(ssize_t n) {
  TrafficCounters& traffic = Traffic();
  traffic.bytesReceived.fetch_add(static_cast<uint32_t>(n), std::memory_order_relaxed);
  traffic.bytesReceivedTotal.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
}

int32_t Receive(const Socket& socket, void* buffer, uint32_t length, int timeoutMs) {
  Traffic().receiveCalls.fetch_add(1, std::memory_order_relaxed);
  char* out = static_cast<char*>(buffer);
  uint32_t total = 0;
  uint32_t start = TickCountMs();
  while (total < length) {
    // With a time limit, what has arrived is taken without waiting (a request block usually
    // comes with its connection), and only then is there a wait for more.
    const int flags = timeoutMs == kNoTimeLimit ? 0 : MSG_DONTWAIT;
    ssize_t n = Sys().recv(socket.fd(), out + total, length - total, flags);
    if (n < 0 && flags != 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      uint32_t elapsed = TickCountMs() - start;
      if (elapsed >= static_cast<uint32_t>(timeoutMs)) return -1;
      WaitReadable(socket.fd(), timeoutMs - static_cast<int>(elapsed));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;  // failure, or the peer closed before the block was complete
    CountReceived(n);
    total += static_cast<uint32_t>(n);
  }
  return static_cast<int32_t>(total);
}

// Sends length bytes (at least one send call) and counts what the socket took in bytesSent,
// and in *sent when given.
bool SendBytes(int fd, const char* in, uint32_t length, uint64_t* sent = nullptr,
               bool more = false) {
  const int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
  uint32_t total = 0;
  do {
    ssize_t n = Sys().send(fd, in + total, length - total, flags);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n == 0 && length > total)) return false;
    CountSent(n);
    total += static_cast<uint32_t>(n);
    if (sent) *sent += static_cast<uint64_t>(n);
  } while (total < length);
  return true;
}

// A splice into a socket has no MSG_NOSIGNAL: with SIGPIPE blocked, the signal a reset
// connection raises stays pending on this thread and is never delivered.
void BlockSigpipeInThisThread() {
  thread_local bool blocked = false;
  if (blocked) return;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  blocked = true;
}

constexpr uint32_t kPadBlockSize = 32768;

// pad repeated; '0' and zero bytes are the only pads the replies use, others are made on demand.
const char* PadBytes(char pad) {
  static const std::vector<char> zeros(kPadBlockSize, '\0');
  static const std::vector<char> digits(kPadBlockSize, '0');
  if (pad == '\0') return zeros.data();
  if (pad == '0') return digits.data();
  thread_local std::vector<char> other;
  other.assign(kPadBlockSize, pad);
  return other.data();
}

}  // namespace

TrafficCounters& Traffic() {
  static TrafficCounters counters;
  return counters;
}

int32_t SendAll(const Socket& socket, const void* data, uint32_t length) {
  Traffic().sendCalls.fetch_add(1, std::memory_order_relaxed);
  if (!SendBytes(socket.fd(), static_cast<const char*>(data), length)) return -1;
  return static_cast<int32_t>(length);
}

int32_t ReceiveAll(const Socket& socket, void* buffer, uint32_t length) {
  return Receive(socket, buffer, length, kNoTimeLimit);
}

int32_t ReceiveAllWithin(const Socket& socket, void* buffer, uint32_t length, uint32_t timeoutMs) {
  return Receive(socket, buffer, length, static_cast<int>(timeoutMs));
}

int64_t SendFileBlock(const Socket& socket, File& file, uint32_t length, uint32_t blocks) {
  BlockSigpipeInThisThread();
  const uint64_t wanted = uint64_t{length} * blocks;
  uint64_t total = 0;
  bool ok = true;
  while (total < wanted) {
    ssize_t n = Sys().sendfile(socket.fd(), file.fd(), nullptr, wanted - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;  // a failure, or the end of the file
    CountSent(n);
    total += static_cast<uint64_t>(n);
  }
  // SendAll counts a block as it begins it: all of them, or up to the one that failed or found
  // the end of the file.
  uint64_t begun = total == wanted ? blocks : std::min<uint64_t>(blocks, total / length + 1);
  Traffic().sendCalls.fetch_add(static_cast<int32_t>(begun), std::memory_order_relaxed);
  return ok ? static_cast<int64_t>(total) : -1;
}

void FileBlockSender::Drop() {
  // Emptying a pipe means reading it; a new one is cheaper, and drops come from failures.
  if (held_ > 0 && !inBuffer_) pipe_.Close();
  held_ = 0;
  inBuffer_ = false;
}

int64_t FileBlockSender::Take(File& file, uint32_t length, uint32_t* beforeError) {
  Drop();
  if (beforeError) *beforeError = 0;
  // A read error keeps what came before it when the caller wants that, else drops it.
  auto fail = [&] {
    if (beforeError) {
      *beforeError = held_;
    } else {
      Drop();
    }
    return -1;
  };
  if (!pipe_.valid() && !noPipe_) {
    pipe_ = Pipe::New();
    // Room for kMostTaken at any offset; without it, larger takes go through the buffer.
    pipe_.SetCapacity(2 * kMostTaken);
    noPipe_ = !pipe_.valid();  // descriptors are short: this sender reads instead
  }
  if (pipe_.valid()) {
    while (held_ < length) {
      // Never waits for room in the pipe: nobody else would make it.
      ssize_t n = Sys().splice(file.fd(), nullptr, pipe_.writeFd(), nullptr, length - held_,
                               SPLICE_F_NONBLOCK);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) break;
      if (n < 0) return fail();
      if (n == 0) return held_;  // the end of the file
      held_ += static_cast<uint32_t>(n);
    }
    if (held_ == length) return held_;
  }
  // No pipe, or a pipe filled up by pieces smaller than pages: what is left is read into the
  // buffer, behind what the pipe holds.
  buffer_.resize(std::max<size_t>(buffer_.size(), length));
  for (uint32_t moved = 0; moved < held_;) {
    ssize_t n = pipe_.Read(buffer_.data() + moved, held_ - moved);
    if (n <= 0) {
      Drop();
      return -1;
    }
    moved += static_cast<uint32_t>(n);
  }
  inBuffer_ = true;
  int64_t n = file.Read(buffer_.data() + held_, length - held_);
  if (n < 0) return fail();
  held_ += static_cast<uint32_t>(n);
  return held_;
}

uint64_t FileBlockSender::SendHeld(int fd, uint32_t bytes, uint32_t padLength, char pad, bool more,
                                   bool* ok) {
  uint64_t sent = 0;
  *ok = true;
  if (inBuffer_) {
    *ok = bytes == 0 || SendBytes(fd, buffer_.data(), bytes, &sent);
  } else if (bytes > 0) {
    BlockSigpipeInThisThread();
    unsigned flags = more || padLength > 0 ? SPLICE_F_MORE : 0;
    while (sent < bytes) {
      ssize_t n = Sys().splice(pipe_.readFd(), nullptr, fd, nullptr, bytes - sent, flags);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *ok = false;
        break;
      }
      CountSent(n);
      sent += static_cast<uint64_t>(n);
    }
  }
  held_ -= static_cast<uint32_t>(std::min<uint64_t>(held_, sent));
  Drop();  // what the caller did not want, or what a failure left
  for (uint32_t padded = 0; *ok && padded < padLength;) {
    uint32_t part = std::min(padLength - padded, kPadBlockSize);
    *ok = SendBytes(fd, PadBytes(pad), part, &sent, more);
    padded += part;
  }
  return sent;
}

int32_t FileBlockSender::SendTaken(const Socket& socket, uint32_t padLength, char pad, bool more) {
  Traffic().sendCalls.fetch_add(1, std::memory_order_relaxed);
  const uint32_t length = held_ + padLength;
  bool ok;
  if (length == 0) {
    uint64_t sent = 0;
    ok = SendBytes(socket.fd(), PadBytes(pad), 0, &sent);
  } else {
    SendHeld(socket.fd(), held_, padLength, pad, more, &ok);
  }
  return ok ? static_cast<int32_t>(length) : -1;
}

bool FileBlockSender::SendTakenInBlocks(const Socket& socket, uint32_t bytes, uint32_t blockSize,
                                        uint32_t padLength, char pad, bool more) {
  const uint64_t total = uint64_t{bytes} + padLength;
  const uint64_t blocks = std::max<uint64_t>(1, (total + blockSize - 1) / blockSize);
  bool ok;
  uint64_t sent = total == 0 ? 0 : SendHeld(socket.fd(), bytes, padLength, pad, more, &ok);
  if (total == 0) ok = SendBytes(socket.fd(), PadBytes(pad), 0, &sent);
  // SendAll counts a block as it begins it: all of them, or up to the one that failed.
  uint64_t begun = ok ? blocks : std::min(blocks, sent / blockSize + 1);
  Traffic().sendCalls.fetch_add(static_cast<int32_t>(begun), std::memory_order_relaxed);
  return ok;
}

bool BlockBatch::Add(const void* data, uint32_t length) {
  if (failed_) return false;
  if ((used_ + length > kCapacity || blocks_ == kMostBlocks) && !Flush()) return false;
  std::memcpy(buffer_ + used_, data, length);
  used_ += length;
  ends_[blocks_++] = used_;
  return true;
}

bool BlockBatch::Flush() {
  if (failed_) return false;
  if (blocks_ == 0) return true;
  uint64_t sent = 0;
  bool ok = SendBytes(socket_.fd(), buffer_, used_, &sent);
  size_t begun = blocks_;
  if (!ok) {
    // The blocks the socket took whole, and the one it failed in.
    begun = static_cast<size_t>(std::upper_bound(ends_, ends_ + blocks_, sent) - ends_);
    begun = std::min(blocks_, begun + 1);
  }
  Traffic().sendCalls.fetch_add(static_cast<int32_t>(begun), std::memory_order_relaxed);
  used_ = 0;
  blocks_ = 0;
  failed_ = !ok;
  return ok;
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
    CountReceived(n);
    dropped += static_cast<uint32_t>(n);
  }
  return dropped;
}

}  // namespace rureza
