#include "server/paced_sender.h"

#include <algorithm>
#include <atomic>
#include <optional>

#include "platform/send_queue.h"
#include "server/activity_log.h"
#include "server/transfer.h"

namespace rureza {
namespace {

// What waits unsent: an eighth of a second of the pace. Where that is less than a block, a
// page: a pass is a whole block then, and it may as well wait until almost nothing is left
// unsent, for the adapter's own receive buffer still holds a good part of a second; what it
// hears of an old position after a command is then that buffer and the rest of one block.
// Where it is a megabyte or more, no bound of our own: such a reader takes the kernel's whole
// queue (4 MiB at most) within half a second, and a bound would only cost it wake-ups.
constexpr double kAheadSeconds = 0.125;
constexpr uint32_t kLeastUnsent = 4096;
constexpr uint32_t kMostUnsent = 1u << 20;
// The pace is a moving average over about this long: a burst of reads does not make a slow
// adapter fast, and a fast reader shows itself within a few passes, each one larger.
constexpr double kPaceSpanSeconds = 0.25;
// How often a wait for room looks at the stream's commands.
constexpr int kWaitSliceMs = 10;
// Without pacing, passes are what they always were.
constexpr uint32_t kUnpacedPassBlocks = 8;

// Says once per process that streams run unpaced here, and why.
void NoteUnpaced(const std::string& why) {
  static std::atomic<bool> noted{false};
  if (!noted.exchange(true)) {
    AppendLog("Streams are not kept to their adapters' pace on this system (" + why + ")");
  }
}

}  // namespace

PacedSender::PacedSender(const Socket& socket) : socket_(socket) {
  Status bound = SetUnsentLimit(socket_, kLeastUnsent);
  std::optional<uint64_t> acknowledged = BytesAcknowledged(socket_);
  if (!bound.ok() || !acknowledged) {
    if (bound.ok()) SetUnsentLimit(socket_, 0);
    NoteUnpaced(bound.ok() ? "no count of acknowledged bytes" : "TCP_NOTSENT_LOWAT: " + bound.text);
    return;
  }
  paced_ = true;
  unsentLimit_ = kLeastUnsent;
  sampledAt_ = begunAt_ = Clock::now();
  acknowledged_ = ackedAtBegin_ = *acknowledged;
}

void PacedSender::Measure(uint32_t blockSize) {
  std::optional<uint64_t> acknowledged = BytesAcknowledged(socket_);
  const Clock::time_point now = Clock::now();
  const double seconds = std::chrono::duration<double>(now - sampledAt_).count();
  if (!acknowledged || seconds <= 0) return;  // a failed connection: the send will tell
  if (*acknowledged < oldUntil_) {            // an old position, dropped: no sample
    sampledAt_ = now;
    acknowledged_ = *acknowledged;
    return;
  }
  // Over a short interval the average gains the bytes taken over the span; a long one, with no
  // sample in between (a stream held for a seek), stands for itself.
  const double taken = static_cast<double>(*acknowledged - acknowledged_);
  const double weight = std::min(1.0, seconds / kPaceSpanSeconds);
  bytesPerSecond_ = (1 - weight) * bytesPerSecond_ + weight * taken / seconds;
  // In the first span after the pace began, what the adapter took is mostly its receive buffer
  // filling at the network's speed, not its pace: it counts as taken over the whole span.
  const double begun = std::chrono::duration<double>(now - begunAt_).count();
  if (begun < kPaceSpanSeconds && *acknowledged >= ackedAtBegin_) {
    bytesPerSecond_ = std::min(
        bytesPerSecond_, static_cast<double>(*acknowledged - ackedAtBegin_) / kPaceSpanSeconds);
  }
  sampledAt_ = now;
  acknowledged_ = *acknowledged;

  const double ahead = bytesPerSecond_ * kAheadSeconds;
  const uint32_t limit = ahead >= kMostUnsent ? 0
                         : ahead < blockSize  ? kLeastUnsent
                                              : static_cast<uint32_t>(ahead) & ~uint32_t{4095};
  // Small changes are not worth a system call.
  const bool changed =
      (limit == 0) != (unsentLimit_ == 0) ||
      std::max(limit, unsentLimit_) - std::min(limit, unsentLimit_) > unsentLimit_ / 8;
  if (changed && SetUnsentLimit(socket_, limit).ok()) unsentLimit_ = limit;
}

uint32_t PacedSender::AwaitPass(uint32_t blockSize, uint32_t most,
                                const std::function<bool()>& interrupted) {
  if (!paced_) return std::min(most, kUnpacedPassBlocks);
  Measure(blockSize);
  // Without a bound of its own the socket takes a fast reader's pass as it always did; with
  // one, a wait here (unlike one inside a send) ends when a command comes.
  while (unsentLimit_ != 0 && !WaitWritable(socket_, kWaitSliceMs)) {
    if (interrupted()) return 0;
  }
  if (interrupted()) return 0;
  const uint32_t passBytes =
      unsentLimit_ == 0 ? kMostPassBytes : std::min(unsentLimit_, kMostPassBytes);
  return std::clamp(passBytes / blockSize, 1u, most);
}

void PacedSender::Restart() {
  std::optional<uint64_t> acknowledged = BytesAcknowledged(socket_);
  std::optional<uint32_t> queued = BytesOnTheirWay(socket_);
  if (!paced_ || !acknowledged || !queued) return;
  // Also what the adapter took since the last sample: it may have begun to drop the old
  // position as soon as it sent its command.
  sampledAt_ = begunAt_ = Clock::now();
  acknowledged_ = *acknowledged;
  oldUntil_ = ackedAtBegin_ = *acknowledged + *queued;
}

int64_t PacedSender::SendFile(File& file, uint32_t blockSize, uint32_t blocks) {
  return SendFileBlock(socket_, file, blockSize, blocks);
}

}  // namespace rureza
