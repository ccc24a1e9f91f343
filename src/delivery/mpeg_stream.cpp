#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "conversion/process_conversions.h"
#include "delivery/decimal.h"
#include "delivery/delivery.h"
#include "delivery/playback_control.h"
#include "delivery/stream_blocks.h"
#include "delivery/subtitle_file.h"
#include "platform/clock.h"
#include "server/activity_log.h"
#include "server/client_activity.h"
#include "server/paced_sender.h"
#include "server/server.h"
#include "server/server_run.h"
#include "server/transfer.h"
#include "settings/server_settings.h"

namespace rureza {
namespace {

// A RIFF container's MPEG data is sent from here on.
constexpr uint32_t kRiffStartOffset = 65536;
// How long one look for a conversion's bytes waits before the stream looks at its commands.
constexpr int kConversionWaitMs = 50;

// An MPEG file, or a video converted to an MPEG program stream (a ConvertedStream), streamed
// alike: the conversion's length, and so its tail's position, is known before its first byte,
// and its bytes are read at the stream's position once they are ready.
class MpegStream {
 public:
  MpegStream(const Socket& socket, ServerRun& run, File file,
             std::unique_ptr<ConvertedStream> converted = nullptr)
      : socket_(socket),
        run_(run),
        file_(std::move(file)),
        converted_(std::move(converted)),
        buffer_(kDataBlockSize, '\0') {}

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
  // The file's operations, or the conversion's at the stream's own position.
  int64_t Length() const { return converted_ ? converted_->length() : file_.Length(); }
  int64_t Position() const { return converted_ ? position_ : file_.Position(); }
  int64_t Seek(int64_t offset);
  bool SeekToStart() { return converted_ ? Seek(0) == 0 : SeekToOffset(file_, startOffset_); }
  // Up to a data block from the position into buffer_; a conversion's once they are ready,
  // -1 when it failed or the stream ends while it waits.
  int64_t Read();
  bool Stopped() const {
    return run_.stopping() || (state_ && state_->stopRequested.load() != 0) ||
           socket_.PeerHasClosed();
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

  const Socket& socket_;
  ServerRun& run_;
  File file_;
  std::unique_ptr<ConvertedStream> converted_;  // set: the stream's bytes come from it
  int64_t position_ = 0;                        // a conversion's
  std::vector<char> buffer_;
  std::shared_ptr<MpegPlaybackState> state_;
  uint32_t startOffset_ = 0;
  // The end position the adapter asked for; 0: the stream has no end of its own.
  uint32_t end_ = 0;
  // Data blocks that one backward pass moves back.
  uint32_t step_ = 1;
};

void MpegStream::Run() {
  NoteClientLength(Length());
  if (Handshake()) {
    state_ = std::make_shared<MpegPlaybackState>(run_.NewControlWait(socket_));
    StartMpegControl(run_, state_);
    SleepMs(20);
    if (BlockLimit() == 0 || Stream()) {
      if (Read() >= 0) {
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
  int64_t n = Read();
  if (n < 0) return false;
  SendAll(socket_, buffer_.data(), static_cast<uint32_t>(n));
  return true;
}

int64_t MpegStream::Seek(int64_t offset) {
  if (!converted_) return file_.Seek(offset);
  if (offset < 0 || offset > converted_->length()) return -1;
  position_ = offset;
  return position_;
}

int64_t MpegStream::Read() {
  if (!converted_) return file_.Read(buffer_.data(), kDataBlockSize);
  const int64_t wanted = std::min<int64_t>(kDataBlockSize, converted_->length() - position_);
  if (wanted <= 0) return 0;
  for (;;) {
    const ConvertedStream::Span span = converted_->BytesAt(position_, wanted, kConversionWaitMs);
    if (span.state == ConvertedStream::Span::State::kWaiting && !Stopped()) continue;
    if (span.state != ConvertedStream::Span::State::kReady ||
        span.file->Seek(span.fileOffset) != span.fileOffset) {
      return -1;
    }
    const int64_t n = span.file->Read(buffer_.data(), std::min(wanted, span.bytes));
    if (n > 0) position_ += n;
    return n;
  }
}

bool MpegStream::Handshake() {
  char magic[4] = {};
  bool riff =
      !converted_ && file_.Read(magic, sizeof magic) == 4 && std::memcmp(magic, "RIFF", 4) == 0;
  startOffset_ = riff ? kRiffStartOffset : 0;
  // A conversion that fails before its first bytes ends the play with nothing sent.
  if (converted_ && Read() < 0) return false;
  SmallBlock zero(kSmallBlockSize, '\0');
  SendAll(socket_, zero.data(), kSmallBlockSize);
  if (!SeekToStart() || !SendFreshBlock()) return false;

  std::optional<SmallBlock> answer = ReceiveBlock();
  if (!answer) return false;
  if ((*answer)[0] != '0') {
    // The adapter wants the end: the offset and contents of the last data block. A
    // conversion's are known before it gets there.
    int64_t tail = converted_
                       ? Seek(Length() - kDataBlockSize)
                       : file_.Seek(-static_cast<int64_t>(kDataBlockSize), File::Whence::kEnd);
    uint32_t tailPosition = tail >= 0 ? static_cast<uint32_t>(tail) : 0;
    if (tail >= 0) {
      SmallBlock position = TailPositionBlock(tailPosition);
      SendAll(socket_, position.data(), kSmallBlockSize);
    }
    end_ = tailPosition + kDataBlockSize;
    if (!SendFreshBlock()) return false;
  }
  if (!SeekToStart() || !SendFreshBlock()) return false;

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
      int64_t from = Position() - stepBytes;
      if (from < 0 || Seek(from) != from) return false;
      for (uint32_t i = 0; i < step_; ++i) {
        if (i > 0 && pacer.AwaitPass(kDataBlockSize, 1, stopped) == 0) return false;
        int64_t n = Read();
        if (n < 0) return false;
        SendAll(socket_, buffer_.data(), static_cast<uint32_t>(n));
      }
      if (Seek(from) != from) return false;
    } else {
      int64_t n = Read();
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
  const LibraryOptions& options = run.settings().library;
  const std::shared_ptr<Conversions> conversions = ConversionsFor(options);
  File file = OpenMediaFile(path);
  // A file of the folder's own endings is converted all the same when the adapter cannot
  // decode its picture or sound.
  if (conversions && file.valid() &&
      (path.converted || conversions->VideoNeedsConversion(ConversionSource(path, file)))) {
    std::unique_ptr<ConvertedStream> stream =
        conversions->OpenVideo(ConversionSource(path, file),
                               SubtitleFileBeside(path, PathText(run.settings().videoFolder),
                                                  LocaleLanguage(UserLocaleName())),
                               VideoRequestFor(options));
    if (stream) MpegStream(socket, run, File(), std::move(stream)).Run();
    return;  // else the conversion said why
  }
  const int64_t length = file.valid() ? file.Length() : -1;
  if (path.converted) {
    AppendLogUncounted(Format("Can Not Convert File : %s", path.open.c_str()));
  } else if (length < 0 || length >= kStreamFileLimit) {
    AppendLogUncounted(Format("Can Not Play File : %s", path.text.c_str()));
  } else {
    MpegStream(socket, run, std::move(file)).Run();
  }
}

}  // namespace rureza
