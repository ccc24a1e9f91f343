// PacedSender: sends a stream on its request connection no further ahead of the adapter than a
// fraction of a second of the pace the adapter actually reads at. An adapter plays what it
// reads; whatever waits in the kernel for it when it seeks, resumes or steps backward is the
// old position, heard before the new one. So the sender estimates the pace from the bytes the
// adapter acknowledges, bounds the unsent bytes to an eighth of a second of it (a page when
// that is less than a block, no bound of its own from a megabyte up), waits for room between
// passes in slices short enough to take up a command at once, and sizes each pass by the same
// measure: one block for a slow adapter, up to 2 MiB in one system call for a fast reader,
// which keeps the kernel's large queue and its few wake-ups. Where the platform cannot tell or
// bound the queue, the stream runs as it always did (passes of eight blocks, no waits) and the
// log says so once. Every stream kind uses it, also one whose file is still being written.
// Thread safety: one thread (the stream's) uses a sender, for the life of its connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/file.h"
#include "platform/socket.h"

namespace rureza {

class PacedSender {
 public:
  // The most bytes one pass sends, in one system call for a file.
  static constexpr uint32_t kMostPassBytes = 2u << 20;

  // Bounds what socket, a stream's request connection, queues from now on.
  explicit PacedSender(const Socket& socket);
  PacedSender(const PacedSender&) = delete;
  PacedSender& operator=(const PacedSender&) = delete;

  // Waits until the adapter has taken enough of what is queued for the next pass to go out
  // without running further ahead of it, testing interrupted() every few milliseconds; then
  // returns how many blocks of blockSize that pass may send: at least 1, at most `most`. 0 when
  // interrupted() held first: nothing may be sent, and the caller takes up what interrupted it.
  // REQUIRES: most >= 1.
  uint32_t AwaitPass(uint32_t blockSize, uint32_t most, const std::function<bool()>& interrupted);

  // The adapter is about to hear a new position (a seek, a resume, a turn): what is queued now
  // is old, and the adapter may take it at any speed to drop it, which tells nothing of its
  // pace. The pace is measured on once the adapter has taken it all.
  void Restart();

  // Sends `blocks` blocks of blockSize of file from its position, as SendFileBlock
  // (transfer.h) does: the bytes sent, fewer when the file ends first (one still being written
  // may grow again), or -1. A blocking send waits while more than the bound waits unsent, so
  // the pass keeps to the pace also inside its one call; a block from memory sent by SendAll
  // on the same connection keeps to it alike.
  int64_t SendFile(File& file, uint32_t blockSize, uint32_t blocks);

 private:
  using Clock = std::chrono::steady_clock;

  // Takes a sample of the acknowledged bytes, updates the pace and sets the bound that follows
  // for passes of blocks of blockSize.
  void Measure(uint32_t blockSize);

  const Socket& socket_;
  bool paced_ = false;  // false where the platform lacks what it takes: passes of eight blocks
  uint32_t unsentLimit_ = 0;     // the bound set on the socket; 0: none of its own
  double bytesPerSecond_ = 0;    // the adapter's pace, a moving average
  Clock::time_point sampledAt_;  // the last sample
  uint64_t acknowledged_ = 0;    // the bytes acknowledged then
  uint64_t oldUntil_ = 0;        // what the adapter acknowledges below this is old
  Clock::time_point begunAt_;    // when the pace began (the stream, or its last Restart)
  uint64_t ackedAtBegin_ = 0;    // the bytes acknowledged then (of a new position: after old)
};

}  // namespace rureza
