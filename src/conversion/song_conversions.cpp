// Songs played as MP3: the stream of one play (SongStream), and the conversions it reads from.
#include <algorithm>
#include <vector>

#include "conversion/conversions_shared.h"
#include "conversion/mp3_layout.h"
#include "platform/clock.h"

namespace rureza {
namespace {

// A seek this close to what the shared conversion has written waits for it rather than
// starting a conversion of its own: at least this much, and what it writes in kNearMs.
constexpr int64_t kNearBytes = 64 * 1024;
constexpr int64_t kNearMs = 500;

using JobSpan = ConversionJob::Span;

class SongStream : public ConvertedStream {
 public:
  SongStream(std::shared_ptr<Conversions::Shared> shared, SourceFile source, uint64_t frames)
      : shared_(std::move(shared)),
        source_(std::move(source)),
        frames_(frames),
        length_(Mp3Length(frames)) {}
  ~SongStream() override;

  void ServeWhole(File file) { whole_ = std::move(file); }
  // False when the writer's bytes cannot be opened.
  bool ServeWriter(std::shared_ptr<Conversions::Shared::Writer> writer) {
    writer_ = std::move(writer);
    writerReader_ = writer_->job->NewReader();
    return writerReader_ != nullptr;
  }

  const SourceFile& source() const { return source_; }
  int64_t length() const override { return length_; }
  Span BytesAt(int64_t offset, int64_t wanted, int waitMs) override;
  std::string failure() const override { return failure_; }

 private:
  static Span Ready(const JobSpan& from, int64_t bytes) {
    Span span;
    span.state = Span::State::kReady;
    span.file = from.file;
    span.fileOffset = from.fileOffset;
    span.bytes = bytes;
    return span;
  }
  static Span Of(Span::State state) {
    Span span;
    span.state = state;
    return span;
  }
  Span Fail(const std::string& why) {
    if (failure_.empty()) {
      failure_ = why.empty() ? "it failed" : why;
      LogCannotConvert(source_.path);
    }
    return Of(Span::State::kFailed);
  }
  // A conversion of the play's own from the frame at offset; false when none can be started.
  bool StartSeek(int64_t offset);
  void EndSeek();
  Span FromSeek(int64_t offset, int64_t wanted, int waitMs);

  const std::shared_ptr<Conversions::Shared> shared_;
  SourceFile source_;
  const uint64_t frames_;
  const int64_t length_;
  File whole_;  // a whole entry: every byte is there
  std::shared_ptr<Conversions::Shared::Writer> writer_;
  std::unique_ptr<ConversionJob::Reader> writerReader_;
  std::shared_ptr<ConversionJob> seek_;
  std::unique_ptr<ConversionJob::Reader> seekReader_;
  std::string failure_;
};

SongStream::~SongStream() {
  EndSeek();
  writerReader_.reset();
  if (writer_) shared_->LetUnwatchedWritersGo();
}

void SongStream::EndSeek() {
  seekReader_.reset();
  if (seek_) seek_->Cancel();  // a play's own: nobody else wants it
  seek_.reset();
}

ConvertedStream::Span SongStream::BytesAt(int64_t offset, int64_t wanted, int waitMs) {
  if (offset < 0 || offset >= length_) return Of(Span::State::kEnd);
  if (!failure_.empty()) return Fail(failure_);
  if (whole_.valid()) {
    Span span;
    span.state = Span::State::kReady;
    span.file = &whole_;
    span.fileOffset = offset;
    span.bytes = length_ - offset;
    return span;
  }
  // A play that seeked stays with its own conversion: the shared one's frames around the point
  // where one would switch are another encoding's.
  if (seek_ && offset >= seek_->start()) return FromSeek(offset, wanted, waitMs);
  ConversionJob& writer = writerReader_->job();
  const int64_t written = writer.written();
  const int64_t elapsed = static_cast<int64_t>(TickCountMs() - writer.startedAt());
  const int64_t sinceStart = written - writer.start();
  const int64_t near =
      written + std::max(kNearBytes, elapsed > 0 ? sinceStart * kNearMs / elapsed : 0);
  if (offset <= near || writer.state() != ConversionJob::State::kRunning) {
    const JobSpan span = writerReader_->BytesAt(offset, wanted, waitMs);
    switch (span.state) {
      case JobSpan::State::kReady: {
        // Up to where the play's own conversion begins, so the switch to it falls between
        // frames.
        const int64_t bytes = seek_ ? std::min(span.bytes, seek_->start() - offset) : span.bytes;
        return Ready(span, bytes);
      }
      case JobSpan::State::kWaiting:
        return Of(Span::State::kWaiting);
      case JobSpan::State::kEnd:
        return Of(Span::State::kEnd);
      case JobSpan::State::kFailed:
        // A conversion that failed on this song fails wherever it is started.
        return Fail(writer.failure());
      case JobSpan::State::kBehind:
        break;  // a ring that moved on: a conversion of its own from there
    }
  }
  if (!StartSeek(offset)) return Fail(seek_ ? seek_->failure() : "it cannot be started");
  return FromSeek(offset, wanted, waitMs);
}

bool SongStream::StartSeek(int64_t offset) {
  EndSeek();
  const uint64_t frame = Mp3FrameAt(offset);
  const int64_t start = Mp3Length(frame);
  auto part = std::make_shared<ConversionCache::Part>(shared_->cache->Scratch(length_, start));
  ConversionJobSpec setup;
  setup.spool = part->file.valid() ? ConversionSpool::Whole(part->file.Duplicate())
                                   : MemoryRing(Conversions::kSongRingBytes, 0);
  setup.source = source_.file.Reopen();
  if (!setup.spool.valid() || !setup.source.valid()) {
    shared_->cache->Drop(*part);
    return false;
  }
  setup.request.kind = RequestKind::kSong;
  setup.request.path = source_.path;
  setup.request.song = {source_.path, kMp3SampleRate, kMp3BitRate, frame, frames_};
  setup.start = start;
  setup.end = length_;
  setup.limits = {shared_->settings.limits.songMemoryBytes,
                  shared_->SongCpuSeconds(frames_ - frame)};
  setup.watchdogMs = shared_->settings.limits.watchdogMs;
  setup.onEnd = [shared = shared_, part](bool) { shared->cache->Drop(*part); };
  seek_ = ConversionJob::Start(shared_->registry, std::move(setup));
  if (!seek_) {
    shared_->cache->Drop(*part);
    return false;
  }
  seekReader_ = seek_->NewReader();
  return seekReader_ != nullptr;
}

ConvertedStream::Span SongStream::FromSeek(int64_t offset, int64_t wanted, int waitMs) {
  const JobSpan span = seekReader_->BytesAt(offset, wanted, waitMs);
  switch (span.state) {
    case JobSpan::State::kReady:
      return Ready(span, span.bytes);
    case JobSpan::State::kWaiting:
      return Of(Span::State::kWaiting);
    case JobSpan::State::kEnd:
      return Of(Span::State::kEnd);
    case JobSpan::State::kFailed:
      return Fail(seek_->failure());
    case JobSpan::State::kBehind:
      break;  // back before what its ring still holds: a conversion from there
  }
  if (!StartSeek(offset)) return Fail(seek_ ? seek_->failure() : "it cannot be started");
  return FromSeek(offset, wanted, waitMs);
}

}  // namespace

void Conversions::Shared::LetUnwatchedWritersGo() {
  std::vector<std::shared_ptr<Writer>> unwatched;
  {
    std::lock_guard<std::mutex> lock(writersMutex);
    for (const auto& [key, writer] : writers) {
      if (writer->job->readers() == 0 && writer->job->state() == ConversionJob::State::kRunning) {
        unwatched.push_back(writer);
      }
    }
  }
  std::sort(unwatched.begin(), unwatched.end(),
            [](const auto& a, const auto& b) { return a->order > b->order; });  // newest first
  size_t keep = kMostUnwatchedWriters;
  std::lock_guard<std::mutex> lock(writersMutex);  // no play joins one meanwhile
  for (const auto& writer : unwatched) {
    if (writer->fillsCache && keep > 0) {
      --keep;
      continue;
    }
    if (writer->job->readers() == 0) writer->job->Cancel();  // a new play starts afresh
  }
}

std::unique_ptr<ConvertedStream> Conversions::OpenSong(SourceFile source) {
  const SourceStamp stamp = StampOf(source.file);
  const std::optional<Measurement> m =
      stamp.size < 0 ? std::nullopt
                     : shared_->Measured(source.path, source.file, stamp, Shared::Probe::kSong);
  const uint64_t frames = m && m->kind == Measurement::Kind::kSong
                              ? Mp3FramesFor(m->song.samples, m->song.sampleRate)
                              : 0;
  if (frames == 0 || shared_->registry->stopping()) {
    LogCannotConvert(source.path);
    return nullptr;
  }
  const std::string path = source.path;
  auto stream = std::make_unique<SongStream>(shared_, std::move(source), frames);
  const std::string key = SourceKey(SongShapeKey(), path, stamp);
  int64_t length = 0;
  File whole = shared_->cache->Find(key, &length);
  if (whole.valid() && length == stream->length()) {
    stream->ServeWhole(std::move(whole));
    return stream;
  }
  std::shared_ptr<Shared::Writer> writer;
  {
    std::lock_guard<std::mutex> lock(shared_->writersMutex);
    std::shared_ptr<Shared::Writer>& found = shared_->writers[key];
    if (found && found->job->state() != ConversionJob::State::kFailed) {
      writer = found;  // under way, or done and about to be kept
    } else {
      auto part = std::make_shared<ConversionCache::Part>(shared_->cache->Begin(stream->length()));
      auto started = std::make_shared<Shared::Writer>();
      started->fillsCache = part->file.valid();
      started->order = ++shared_->writersStarted;
      ConversionJobSpec setup;
      setup.spool = started->fillsCache ? ConversionSpool::Whole(part->file.Duplicate())
                                        : MemoryRing(kSongRingBytes, 0);
      // The play's own handle on the source stays with it, for its seeks.
      setup.source = stream->source().file.Reopen();
      setup.request.kind = RequestKind::kSong;
      setup.request.path = path;
      setup.request.song = {path, kMp3SampleRate, kMp3BitRate, 0, frames};
      setup.end = stream->length();
      setup.limits = {shared_->settings.limits.songMemoryBytes, shared_->SongCpuSeconds(frames)};
      setup.watchdogMs = shared_->settings.limits.watchdogMs;
      std::weak_ptr<Shared::Writer> self = started;
      setup.onEnd = [shared = shared_, part, key, self](bool whole) {
        if (whole && !part->path.empty()) {
          shared->cache->Keep(*part, key);
        } else {
          shared->cache->Drop(*part);
        }
        std::lock_guard<std::mutex> lock(shared->writersMutex);
        auto it = shared->writers.find(key);
        if (it != shared->writers.end() && it->second == self.lock()) shared->writers.erase(it);
      };
      if (setup.spool.valid() && setup.source.valid()) {
        started->job = ConversionJob::Start(shared_->registry, std::move(setup));
      }
      if (!started->job) {
        shared_->cache->Drop(*part);
        shared_->writers.erase(key);
        LogCannotConvert(path);
        return nullptr;
      }
      found = started;
      writer = started;
    }
    // Joined under the lock: a writer nobody reads is let go of under it.
    if (!stream->ServeWriter(writer)) {
      LogCannotConvert(path);
      return nullptr;
    }
  }
  return stream;
}

}  // namespace rureza
