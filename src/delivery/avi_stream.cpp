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

class AviStream {
 public:
  AviStream(const Socket& socket, ServerRun& run, const MediaPath& path, File file)
      : socket_(socket),
        run_(run),
        path_(path),
        file_(std::move(file)),
        buffer_(kDataBlockSize, '\0') {}

  void Run();

 private:
  // The exchange on the request connection before the movie data; false when the adapter's
  // offsets cannot be served (a negative probe offset, a failed seek or read).
  bool Handshake();
  // Sends the movie data from movieStart towards movieEnd while the control thread lets it.
  void Stream();
  // Whether the stream must end now, whatever the control thread asks next.
  bool MustEnd() const {
    return state_->stopRequested.load() != 0 || state_->controlEnded.load() || run_.stopping();
  }
  // The adapter's next answer; nullopt when it does not come whole within the request time
  // limit (or the connection ends first): the stream then ends and frees its slot.
  std::optional<SmallBlock> ReceiveBlock() {
    SmallBlock block(kSmallBlockSize, '\0');
    if (ReceiveAllWithin(socket_, block.data(), kSmallBlockSize, RequestTimeLimitMs()) < 0) {
      return std::nullopt;
    }
    return block;
  }
  bool SendBuffer(uint32_t length) { return SendAll(socket_, buffer_.data(), length) >= 0; }

  const Socket& socket_;
  ServerRun& run_;
  const MediaPath& path_;
  File file_;
  std::vector<char> buffer_;
  std::shared_ptr<AviPlaybackState> state_;
};

void AviStream::Run() {
  if (Handshake()) {
    StartAviControl(run_, state_);
    SleepMs(5);
    Stream();
  }
  file_.Close();
  if (state_) state_->stopRequested.store(1);
  SleepMs(100);
  if (state_) state_->controlSocket->End();
}

bool AviStream::Handshake() {
  SmallBlock filesize = FilesizeBlock(static_cast<int32_t>(file_.Length()));
  if (file_.Read(buffer_.data(), kDataBlockSize) < 0) return false;
  // The adapter expects the length three times and the header twice, in this order.
  SendAll(socket_, filesize.data(), kSmallBlockSize);
  SendBuffer(kDataBlockSize);
  SendAll(socket_, filesize.data(), kSmallBlockSize);
  SendBuffer(kDataBlockSize);
  SendAll(socket_, filesize.data(), kSmallBlockSize);

  std::optional<SmallBlock> probe = ReceiveBlock();
  if (!probe) return false;
  int32_t probeOffset = ParseSignedDecimal(probe->data(), kSmallBlockSize);
  if (probeOffset < 0 || !SeekToOffset(file_, static_cast<uint32_t>(probeOffset))) return false;
  if (file_.Read(buffer_.data(), kDataBlockSize) < 0) return false;
  SendBuffer(kDataBlockSize);
  if (!SeekToOffset(file_, 0)) return false;

  std::optional<SmallBlock> endBlock = ReceiveBlock();
  std::optional<SmallBlock> startBlock = endBlock ? ReceiveBlock() : std::nullopt;
  if (!startBlock) return false;
  uint32_t movieEnd = ParseDecimal(endBlock->data(), kSmallBlockSize);
  uint32_t movieStart = ParseDecimal(startBlock->data(), kSmallBlockSize);
  if (!SeekToOffset(file_, movieStart)) return false;
  int32_t fileLength = static_cast<int32_t>(file_.Length());
  NoteClientLength(fileLength);
  SmallBlock start = StartBlock(fileLength);
  SendAll(socket_, start.data(), kSmallBlockSize);
  state_ = std::make_shared<AviPlaybackState>(run_.NewControlWait(socket_), path_, fileLength,
                                              movieStart, movieEnd);
  return true;
}

void AviStream::Stream() {
  AviPlaybackState& state = *state_;
  // The movie goes out at the adapter's pace, so a resume is heard at once.
  PacedSender pacer(socket_);
  auto held = [&] { return state.mode.load() != 0 || state.resumeRequested.load() != 0; };
  for (;;) {
    if (state.resumeRequested.load() != 0) {
      state.stopRequested.store(0);
      state.mode.store(0);
      state.resumeRequested.store(0);
      pacer.Restart();
    }
    bool sent = false;
    // Fast forward, backward, a resume or the end, coming while the pass waits for room, is
    // taken up first.
    if (!held() && !MustEnd() &&
        pacer.AwaitPass(kDataBlockSize, 1, [&] { return held() || MustEnd(); }) > 0) {
      if (!SeekToOffset(file_, state.streamPosition.load())) return;
      int64_t n = file_.Read(buffer_.data(), kDataBlockSize);
      if (n < 0) return;
      uint32_t after = static_cast<uint32_t>(file_.Position());
      state.streamPosition.store(after);
      NoteClientPosition(after);
      state.lastReadEnd.store(after);
      SleepMs(5);
      if (n == 0 || !SendBuffer(static_cast<uint32_t>(n))) return;
      if (after < state.movieEnd && state.movieEnd - after < kDataBlockSize) {
        n = file_.Read(buffer_.data(), state.movieEnd - after);
        if (n >= 0) SendBuffer(static_cast<uint32_t>(n));
        return;
      }
      sent = true;
    }
    if (MustEnd() || state.streamPosition.load() >= state.movieEnd) return;
    // Held for fast forward or backward: poll again shortly.
    if (!sent) SleepMs(5);
  }
}

}  // namespace

void SendAviStream(const Socket& socket, ServerRun& run, const MediaPath& path) {
  File file = OpenStreamFile(path);
  if (!file.valid()) {
    AppendLogUncounted(Format("Can Not Open File : %s", path.text.c_str()));
    return;
  }
  AviStream(socket, run, path, std::move(file)).Run();
}

}  // namespace rureza
