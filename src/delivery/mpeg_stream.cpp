#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "delivery/decimal.h"
#include "delivery/delivery.h"
#include "delivery/playback_control.h"
#include "delivery/stream_blocks.h"
#include "platform/clock.h"
#include "server/activity_log.h"
#include "server/client_activity.h"
#include "server/paced_sender.h"
#include "server/server.h"
#include "server/server_run.h"
#include "server/transfer.h"

namespace rureza {
namespace {

// A RIFF container's MPEG data is sent from here on.
constexpr uint32_t kRiffStartOffset = 65536;

class MpegStream {
 public:
  MpegStream(const Socket& socket, ServerRun& run, File file)
      : socket_(socket), run_(run), file_(std::move(file)), buffer_(kDataBlockSize, '\0') {}

  void Run();

 private:
  // The exchange on the request connection before streaming; false when the file fails.
  bool Handshake();
  // Forward and backward passes; true when the final step is due.
  bool Stream();
  // Passes after which the final step comes. Without an end position it wraps to the largest
  // count: no limit.
  uint32_t BlockLimit() const { return end_ / kDataBlockSize - 1; }
  // Reads up to a data block into the zeroed buffer and sends what was read.
  bool SendFreshBlock();
  // The adapter's next answer; nullopt when it does not come whole within the request time
  // limit (or the connection ends first): the stream then ends and frees its slot.
  std::optional<SmallBlock> ReceiveBlock() {
    SmallBlock block(kSmallBlockSize, '\0');
    if (ReceiveAllWithin(socket_, block.data(), kSmallBlockSize, RequestTimeLimitMs()) < 0) {
      return std::nullopt;
    }
    return block;
  }

  const Socket& socket_;
  ServerRun& run_;
  File file_;
  std::vector<char> buffer_;
  std::shared_ptr<MpegPlaybackState> state_;
  uint32_t startOffset_ = 0;
  // The end position the adapter asked for; 0: the stream has no end of its own.
  uint32_t end_ = 0;
  // Data blocks that one backward pass moves back.
  uint32_t step_ = 1;
};

void MpegStream::Run() {
  NoteClientLength(file_.Length());
  if (Handshake()) {
    state_ = std::make_shared<MpegPlaybackState>(run_.NewControlWait(socket_));
    StartMpegControl(run_, state_);
    SleepMs(20);
    if (BlockLimit() == 0 || Stream()) {
      if (file_.Read(buffer_.data(), kDataBlockSize) >= 0) {
        SendAll(socket_, buffer_.data(), end_ % kDataBlockSize);
      }
    }
    state_->stopRequested.store(1);
  }
  SleepMs(200);
  file_.Close();
  if (state_) state_->controlSocket->End();
}

bool MpegStream::SendFreshBlock() {
  std::fill(buffer_.begin(), buffer_.end(), '\0');
  int64_t n = file_.Read(buffer_.data(), kDataBlockSize);
  if (n < 0) return false;
  SendAll(socket_, buffer_.data(), static_cast<uint32_t>(n));
  return true;
}

bool MpegStream::Handshake() {
  char magic[4] = {};
  bool riff = file_.Read(magic, sizeof magic) == 4 && std::memcmp(magic, "RIFF", 4) == 0;
  startOffset_ = riff ? kRiffStartOffset : 0;
  SmallBlock zero(kSmallBlockSize, '\0');
  SendAll(socket_, zero.data(), kSmallBlockSize);
  if (!SeekToOffset(file_, startOffset_) || !SendFreshBlock()) return false;

  std::optional<SmallBlock> answer = ReceiveBlock();
  if (!answer) return false;
  if ((*answer)[0] != '0') {
    // The adapter wants the end: the offset and contents of the last data block.
    int64_t tail = file_.Seek(-static_cast<int64_t>(kDataBlockSize), File::Whence::kEnd);
    uint32_t tailPosition = tail >= 0 ? static_cast<uint32_t>(tail) : 0;
    if (tail >= 0) {
      SmallBlock position = TailPositionBlock(tailPosition);
      SendAll(socket_, position.data(), kSmallBlockSize);
    }
    end_ = tailPosition + kDataBlockSize;
    if (!SendFreshBlock()) return false;
  }
  if (!SeekToOffset(file_, startOffset_) || !SendFreshBlock()) return false;

  std::optional<SmallBlock> scale = ReceiveBlock();
  if (!scale) return false;
  step_ = BackwardStep(ParseDecimal(scale->data(), kSmallBlockSize));
  return true;
}

bool MpegStream::Stream() {
  const uint32_t blockLimit = BlockLimit();
  const int64_t stepBytes = int64_t{step_} * kDataBlockSize;
  uint32_t count = 0;
  // Blocks go out at the adapter's pace, so a backward step is heard at once.
  PacedSender pacer(socket_);
  auto stopped = [&] { return state_->stopRequested.load() != 0 || run_.stopping(); };
  bool wasBackward = false;
  for (;;) {
    if (stopped()) return false;
    const bool backward = state_->mode.load() == 1;
    if (backward != wasBackward) pacer.Restart();
    wasBackward = backward;
    // A change of direction or a stop, coming while the pass waits for room, is taken up first.
    auto turned = [&] { return stopped() || (state_->mode.load() == 1) != backward; };
    if (pacer.AwaitPass(kDataBlockSize, 1, turned) == 0) continue;
    if (backward) {
      // Sends the step's blocks before the position, in file order, and leaves the position
      // that far back. A step that would pass the start of the file ends the stream.
      int64_t from = file_.Position() - stepBytes;
      if (from < 0 || file_.Seek(from) != from) return false;
      for (uint32_t i = 0; i < step_; ++i) {
        if (i > 0 && pacer.AwaitPass(kDataBlockSize, 1, stopped) == 0) return false;
        int64_t n = file_.Read(buffer_.data(), kDataBlockSize);
        if (n < 0) return false;
        SendAll(socket_, buffer_.data(), static_cast<uint32_t>(n));
      }
      if (file_.Seek(from) != from) return false;
    } else {
      int64_t n = file_.Read(buffer_.data(), kDataBlockSize);
      if (n < 0 || SendAll(socket_, buffer_.data(), static_cast<uint32_t>(n)) < 0) return false;
      // Empty sends at the end of a stream without an end never fail: a closed request
      // connection must be noticed here, or the client slot would never be freed.
      if (n == 0 && socket_.PeerHasClosed()) return false;
    }
    if (!backward) {
      ++count;
    } else if (count == 0) {
      return false;
    } else {
      count -= step_;  // wraps below 0, which ends the loop below
    }
    NoteClientPosition(int64_t{startOffset_} + int64_t{count} * kDataBlockSize);
    SleepMs(20);
    if (count >= blockLimit) return true;
  }
}

}  // namespace

void SendMpegStream(const Socket& socket, ServerRun& run, const MediaPath& path) {
  File file = OpenStreamFile(path);
  if (!file.valid()) {
    AppendLogUncounted(Format("Can Not Play File : %s", path.text.c_str()));
    return;
  }
  MpegStream(socket, run, std::move(file)).Run();
}

}  // namespace rureza
