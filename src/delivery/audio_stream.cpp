#include <algorithm>
#include <memory>

#include "conversion/process_conversions.h"
#include "delivery/delivery.h"
#include "delivery/playback_control.h"
#include "delivery/stream_blocks.h"
#include "platform/clock.h"
#include "server/activity_log.h"
#include "server/client_activity.h"
#include "server/paced_sender.h"
#include "server/server_run.h"
#include "server/transfer.h"

namespace rureza {
namespace {

// What follows a pass: the next pass, the tail (the rest of the file, or on the server's stop
// no more than the tail of an unseeked file would be), or the end.
enum class Next { kBlock, kTail, kStopTail, kEnd };

// How long one look for a conversion's bytes waits before the stream looks at its commands.
constexpr int kConversionWaitMs = 50;

// An MP3 file, or a song converted to MP3 (a ConvertedStream), streamed alike: the converted
// song's length is known before its first byte, and each pass sends what of it is ready from the
// file that holds it.
class AudioStream {
 public:
  AudioStream(const Socket& socket, ServerRun& run, File file,
              std::unique_ptr<ConvertedStream> converted = nullptr)
      : socket_(socket),
        run_(run),
        file_(std::move(file)),
        converted_(std::move(converted)),
        pacer_(socket) {}

  void Run();

 private:
  // One pass of the loop: takes up a seek, then sends a data block when one is due.
  Next Pass();
  // request: 1 fast forward, 2 backward, as read before the target.
  Next TakeUpSeek(int32_t request);
  // Holds still until the adapter sends Play; also gives up on Stop, on the control thread's
  // end (the stream then plays on from the new position) and on the server's stop.
  void WaitForPlay();
  // What a pass takes up before it sends: a seek, Stop or the server's stop.
  bool CommandPending() const {
    const int32_t request = state_->seekRequest.load();
    return request == 1 || request == 2 || state_->stopRequested.load() != 0 || run_.stopping();
  }
  // The bytes from the position to the end of the file, at most limit of them.
  void SendTail(int64_t limit);
  int64_t Length() const { return converted_ ? converted_->length() : file_.Length(); }
  int64_t Remaining() const {
    int64_t length = Length();
    return length > position_ ? length - position_ : 0;
  }
  // Moves to offset: for a file, its position; a conversion is asked for the bytes there at
  // once, so that one started for a seek runs while the adapter sends Play.
  bool SeekTo(uint32_t offset);
  // The file that holds at least bytes from the position on, at the position (the stream's
  // own file, or the conversion's once they are ready); null when the conversion failed, or the
  // stream is stopped while it waits.
  File* ReadyFile(int64_t bytes, int64_t* ready);

  const Socket& socket_;
  ServerRun& run_;
  File file_;
  std::unique_ptr<ConvertedStream> converted_;  // set: the stream's bytes come from it
  // The file's bytes go from the page cache to the socket (data blocks by sendfile, the tail
  // through a pipe); no data buffer is needed.
  FileBlockSender tail_;
  // Data blocks go out at the adapter's pace, so a seek is heard at once.
  PacedSender pacer_;
  // The file's length when last queried. It is queried afresh only when the one last seen
  // leaves less than a block: a file that grew is then streamed on, and one that shrank ends
  // the block that meets its end, which thus carries what the tail would have.
  int64_t length_ = 0;
  std::shared_ptr<AudioPlaybackState> state_;
  // File offset of the next data block, 32-bit as the adapter counts.
  uint32_t position_ = 0;
};

void AudioStream::Run() {
  const int64_t length = Length();
  length_ = length;
  NoteClientLength(length);
  SmallBlock lengthBlock = LengthBlock(static_cast<int32_t>(length));
  SendAll(socket_, lengthBlock.data(), kSmallBlockSize);
  const int64_t tailLength = length % kDataBlockSize;
  state_ = std::make_shared<AudioPlaybackState>(run_.NewControlWait(socket_));
  StartAudioControl(run_, state_);

  Next next = Next::kBlock;
  while (next == Next::kBlock) next = Pass();
  // Near the end of the file the tail is all the rest of it, also after an unaligned seek.
  if (next == Next::kTail) SendTail(kDataBlockSize - 1);
  if (next == Next::kStopTail) SendTail(tailLength);

  state_->stopRequested.store(1);
  SleepMs(100);
  file_.Close();
  state_->controlSocket->End();
}

Next AudioStream::Pass() {
  if (run_.stopping()) return Next::kStopTail;
  int32_t request = state_->seekRequest.load();
  if (request == 1 || request == 2) {
    Next next = TakeUpSeek(request);
    if (next != Next::kBlock) return next;
  }
  if (state_->stopRequested.load() != 0 || run_.stopping()) return Next::kEnd;
  if (length_ - position_ < kDataBlockSize) length_ = Length();
  if (length_ < int64_t{position_} + kDataBlockSize) return Next::kTail;
  // As many blocks to a system call as the adapter's pace allows; a command that comes while
  // the pass waits for room is taken up first.
  const auto whole = static_cast<uint32_t>(
      std::min<int64_t>(PacedSender::kMostPassBytes, length_ - position_) / kDataBlockSize);
  uint32_t blocks = pacer_.AwaitPass(kDataBlockSize, whole, [&] { return CommandPending(); });
  if (blocks == 0) return Next::kBlock;
  File* from = &file_;
  if (converted_) {
    // What of the song is ready, at least a block; the commands are looked at between looks.
    const ConvertedStream::Span span =
        converted_->BytesAt(position_, kDataBlockSize, kConversionWaitMs);
    if (span.state == ConvertedStream::Span::State::kWaiting) return Next::kBlock;
    if (span.state != ConvertedStream::Span::State::kReady ||
        span.file->Seek(span.fileOffset) != span.fileOffset) {
      return Next::kEnd;
    }
    from = span.file;
    blocks = static_cast<uint32_t>(std::min<int64_t>(blocks, span.bytes / kDataBlockSize));
  }
  int64_t sent = pacer_.SendFile(*from, kDataBlockSize, blocks);
  if (sent < int64_t{kDataBlockSize} * blocks) return Next::kEnd;  // a failure, or a shrunk file
  position_ += static_cast<uint32_t>(sent);
  NoteClientPosition(position_);
  return Next::kBlock;
}

Next AudioStream::TakeUpSeek(int32_t request) {
  position_ = static_cast<uint32_t>(state_->seekTarget.load());
  if (request == 1) {
    int64_t length = Length();
    length_ = length;
    if (position_ >= length) return Next::kEnd;
    if (length - position_ < kDataBlockSize) {
      // Into the last partial block: the tail comes from the target, at once.
      return SeekTo(position_) ? Next::kTail : Next::kEnd;
    }
  } else if (position_ == 0) {
    return Next::kEnd;
  }
  if (!SeekTo(position_)) return Next::kEnd;
  WaitForPlay();
  pacer_.Restart();
  state_->playLatch.store(0);
  state_->seekRequest.store(0);
  return Next::kBlock;
}

void AudioStream::WaitForPlay() {
  while (state_->playLatch.load() == 0) {
    if (state_->stopRequested.load() != 0 || state_->controlEnded.load() || run_.stopping()) {
      return;
    }
    SleepMs(5);
  }
}

bool AudioStream::SeekTo(uint32_t offset) {
  if (!converted_) return SeekToOffset(file_, offset);
  // As in the adapter's 32-bit arithmetic, an offset of 2^31 or more is negative.
  return offset < kStreamFileLimit && converted_->BytesAt(offset, kDataBlockSize, 0).state !=
                                          ConvertedStream::Span::State::kFailed;
}

File* AudioStream::ReadyFile(int64_t bytes, int64_t* ready) {
  if (!converted_) {
    *ready = bytes;
    return &file_;
  }
  for (;;) {
    const ConvertedStream::Span span = converted_->BytesAt(position_, bytes, kConversionWaitMs);
    if (span.state == ConvertedStream::Span::State::kReady) {
      *ready = std::min(bytes, span.bytes);
      return span.file->Seek(span.fileOffset) == span.fileOffset ? span.file : nullptr;
    }
    if (span.state != ConvertedStream::Span::State::kWaiting || state_->stopRequested.load() != 0 ||
        run_.stopping()) {
      return nullptr;
    }
  }
}

void AudioStream::SendTail(int64_t limit) {
  int64_t count = std::min(Remaining(), limit);
  File* from = count > 0 ? ReadyFile(count, &count) : &file_;
  if (from && tail_.Take(*from, static_cast<uint32_t>(count)) >= 0) {
    tail_.SendTaken(socket_, 0, '\0');
  }
}

}  // namespace

void SendAudioStream(const Socket& socket, ServerRun& run, const MediaPath& path) {
  if (path.converted && path.servable) {
    const std::shared_ptr<Conversions> conversions = ConversionsFor(run.settings().library);
    SourceFile source = ConversionSource(path, OpenMediaFile(path));
    if (!conversions || !source.file.valid()) {
      AppendLogUncounted(Format("Can Not Convert File : %s", path.open.c_str()));
      return;
    }
    std::unique_ptr<ConvertedStream> stream = conversions->OpenSong(std::move(source));
    if (!stream) return;  // the conversion said why
    AudioStream(socket, run, File(), std::move(stream)).Run();
    return;
  }
  File file = OpenStreamFile(path);
  if (!file.valid()) {
    AppendLogUncounted(Format("Can Not Open File : %s", path.text.c_str()));
    return;
  }
  AudioStream(socket, run, std::move(file)).Run();
}

}  // namespace rureza
