// Videos played as MPEG-2 program streams: the stream of one play (VideoStream), the conversion
// its plays share, and what a listing learns of a video from memory.
//
// A play's bytes come from the cache entry when the video was converted whole before; else from
// the conversion from the start that its plays share (VideoWriter), which writes a cache part
// when the stream fits the cache and a ring otherwise. The ring keeps VideoSpill::behindSeconds
// of the stream behind the slowest play, so that backward steps over that span re-send what was
// sent, and converts aheadSeconds ahead of it; it lies on the disk beside the cache, counted
// against the cache's bound, where there is room, else in memoryBytes of memory. A play that
// asks for bytes a ring no longer holds (a step further back, or a play that starts after the
// ring has moved on from the start) gets a conversion of its own from the start: the same bytes,
// once it reaches them. The stream's last kMpegTailBytes are known from the plan alone and come
// from memory, never waiting for the conversion.
#include <algorithm>
#include <atomic>

#include "conversion/conversions_shared.h"
#include "conversion/mpeg_layout.h"
#include "platform/clock.h"
#include "server/activity_log.h"

namespace rureza {

struct Conversions::Shared::VideoWriter {
  std::shared_ptr<ConversionJob> job;
  bool whole = false;             // into a cache part: every byte stays
  int64_t capacity = 0;           // a ring's: the latest bytes it holds
  int64_t ahead = 0;              // a ring's: what it converts ahead of its slowest play
  std::atomic<int64_t> reach{0};  // the furthest offset its plays have asked for
  std::atomic<bool> slow{false};  // said to fall behind the playing time
};

namespace {

using VideoWriter = Conversions::Shared::VideoWriter;
using JobSpan = ConversionJob::Span;

constexpr int64_t kBlock = 32768;
// A play looks this often whether its source is still the file it opened, unchanged.
constexpr uint32_t kSourceLookMs = 1000;
// A conversion's pace is judged once it has run this long (its decoders under way).
constexpr uint32_t kWarmUpMs = 5000;
// A source's duration guessed from its size before its header is read: a film's usual rate.
constexpr uint64_t kGuessedSourceBitRate = 4000000;

int64_t StreamBytes(const MpegPlan& plan, uint32_t seconds) {
  return int64_t{plan.muxRate} / 8 * seconds;
}

class VideoStream : public ConvertedStream {
 public:
  VideoStream(std::shared_ptr<Conversions::Shared> shared, SourceFile source, SourceFile subtitles,
              SourceStamp stamp, const MpegPlan& plan, ConverterRequest request, File tail)
      : shared_(std::move(shared)),
        source_(std::move(source)),
        subtitles_(std::move(subtitles)),
        stamp_(stamp),
        plan_(plan),
        tailStart_(plan.length - kMpegTailBytes),
        request_(std::move(request)),
        tail_(std::move(tail)),
        lookedAt_(TickCountMs()) {}
  ~VideoStream() override;

  void ServeWhole(File file) { whole_ = std::move(file); }
  // False when the writer's bytes cannot be opened. REQUIRES: videosMutex.
  bool Serve(std::shared_ptr<VideoWriter> writer) {
    writer_ = std::move(writer);
    reader_ = writer_->job->NewReader();
    return reader_ != nullptr;
  }
  // A new conversion from the start: shared by the plays that join it when key is given.
  std::shared_ptr<VideoWriter> StartWriter(const std::string& key);

  int64_t length() const override { return plan_.length; }
  Span BytesAt(int64_t offset, int64_t wanted, int waitMs) override;
  std::string failure() const override { return failure_; }

 private:
  static Span Of(Span::State state) {
    Span span;
    span.state = state;
    return span;
  }
  static Span Ready(File* file, int64_t fileOffset, int64_t bytes) {
    Span span = Of(Span::State::kReady);
    span.file = file;
    span.fileOffset = fileOffset;
    span.bytes = bytes;
    return span;
  }
  Span Fail(const std::string& why) {
    if (failure_.empty()) {
      failure_ = why.empty() ? "it failed" : why;
      LogCannotConvert(source_.path);
    }
    return Of(Span::State::kFailed);
  }
  // False once the path no longer names the file opened, or that file changed.
  bool SourceUnchanged();
  // Says once that the conversion falls behind the playing time.
  void NoteWaiting();
  // Lets go of the conversion read now; one nobody reads any more with more than its tail to
  // make is ended. REQUIRES: videosMutex.
  void LetGoLocked();

  const std::shared_ptr<Conversions::Shared> shared_;
  SourceFile source_;
  SourceFile subtitles_;
  const SourceStamp stamp_;
  const MpegPlan plan_;
  const int64_t tailStart_;
  const ConverterRequest request_;
  File tail_;   // the stream's last kMpegTailBytes, from offset 0
  File whole_;  // a whole entry: every byte is there
  std::shared_ptr<VideoWriter> writer_;
  std::unique_ptr<ConversionJob::Reader> reader_;
  bool own_ = false;  // the conversion read is the play's own
  uint32_t lookedAt_;
  std::string failure_;
};

VideoStream::~VideoStream() {
  std::lock_guard<std::mutex> lock(shared_->videosMutex);
  LetGoLocked();
}

void VideoStream::LetGoLocked() {
  reader_.reset();
  // Joined under the lock, so nobody joins it meanwhile; its tail alone is left to a cache part.
  if (writer_ && writer_->job->readers() == 0 && writer_->job->written() < tailStart_) {
    writer_->job->Cancel();
  }
  writer_.reset();
}

std::shared_ptr<VideoWriter> VideoStream::StartWriter(const std::string& key) {
  const std::shared_ptr<Conversions::Shared>& shared = shared_;
  auto writer = std::make_shared<VideoWriter>();
  auto part = std::make_shared<ConversionCache::Part>(
      key.empty() ? ConversionCache::Part{} : shared->cache->Begin(plan_.length));
  ConversionJobSpec setup;
  if (part->file.valid()) {
    writer->whole = true;
    setup.spool = ConversionSpool::Whole(part->file.Duplicate());
  } else {
    const VideoSpill& spill = shared->settings.videoSpill;
    int64_t behind = StreamBytes(plan_, spill.behindSeconds);
    writer->capacity =
        std::max(behind + StreamBytes(plan_, spill.aheadSeconds), ConversionSpool::kRingMirror);
    *part = shared->cache->Scratch(writer->capacity + ConversionSpool::kRingMirror, 0);
    if (part->file.valid()) {
      setup.spool = ConversionSpool::Ring(part->file.Duplicate(), writer->capacity, behind);
    } else {
      writer->capacity = std::max(spill.memoryBytes, ConversionSpool::kRingMirror);
      behind = writer->capacity / 4 * 3;
      setup.spool = MemoryRing(writer->capacity, behind);
    }
    writer->ahead = writer->capacity - behind;
  }
  setup.source = source_.file.Reopen();
  if (subtitles_.file.valid()) setup.companion = subtitles_.file.Reopen();
  setup.request = request_;
  setup.end = plan_.length;
  const ConverterLimits& limits = shared->settings.limits;
  setup.limits = {limits.videoMemoryBytes,
                  limits.cpuSeconds + static_cast<uint32_t>((plan_.durationMs / 60000 + 1) *
                                                            limits.cpuSecondsPerVideoMinute)};
  setup.watchdogMs = limits.watchdogMs;
  std::weak_ptr<VideoWriter> self = writer;
  setup.onEnd = [shared, part, key, self, path = source_.path, stamp = stamp_](bool whole) {
    // A source changed meanwhile may have fed it a mixture: never kept as its old version.
    if (whole && !part->path.empty() && StampOf(path) == stamp) {
      shared->cache->Keep(*part, key);
    } else {
      shared->cache->Drop(*part);
    }
    if (key.empty()) return;
    std::lock_guard<std::mutex> lock(shared->videosMutex);
    auto it = shared->videoWriters.find(key);
    if (it != shared->videoWriters.end() && it->second == self.lock()) {
      shared->videoWriters.erase(it);
    }
  };
  if (setup.spool.valid() && setup.source.valid()) {
    writer->job = ConversionJob::Start(shared->registry, std::move(setup));
  }
  if (!writer->job) {
    shared->cache->Drop(*part);
    return nullptr;
  }
  return writer;
}

bool VideoStream::SourceUnchanged() {
  const uint32_t now = TickCountMs();
  if (now - lookedAt_ < kSourceLookMs) return true;
  lookedAt_ = now;
  return StampOf(source_.path) == stamp_ && StampOf(source_.file) == stamp_;
}

void VideoStream::NoteWaiting() {
  const ConversionJob& job = *writer_->job;
  const uint32_t elapsed = TickCountMs() - job.startedAt();
  if (elapsed < kWarmUpMs || writer_->slow.load()) return;
  const double bits = static_cast<double>(job.written() - job.start()) * 8000 / elapsed;
  if (bits >= plan_.muxRate || writer_->slow.exchange(true)) return;
  AppendLogUncounted(
      Format("The conversion of %s is slower than playing it (%.1f of %.1f Mbit/s); it goes on",
             source_.path.c_str(), bits / 1e6, plan_.muxRate / 1e6));
}

ConvertedStream::Span VideoStream::BytesAt(int64_t offset, int64_t wanted, int waitMs) {
  if (offset < 0 || offset >= plan_.length) return Of(Span::State::kEnd);
  if (!failure_.empty()) return Fail(failure_);
  if (!SourceUnchanged()) return Fail("the source was deleted or changed");
  if (offset >= tailStart_) return Ready(&tail_, offset - tailStart_, plan_.length - offset);
  if (whole_.valid()) return Ready(&whole_, offset, plan_.length - offset);
  for (int started = 0;; ++started) {
    if (!reader_) {
      // The ring read has moved on: a conversion of the play's own from the start.
      std::shared_ptr<VideoWriter> writer = started < 2 ? StartWriter("") : nullptr;
      std::lock_guard<std::mutex> lock(shared_->videosMutex);
      if (!writer || !Serve(std::move(writer))) return Fail("it cannot be started");
      own_ = true;
    }
    if (!own_) {
      int64_t reach = writer_->reach.load();
      while (offset > reach && !writer_->reach.compare_exchange_weak(reach, offset)) {
      }
    }
    const JobSpan span = reader_->BytesAt(offset, wanted, waitMs);
    switch (span.state) {
      case JobSpan::State::kReady:
        return Ready(span.file, span.fileOffset, span.bytes);
      case JobSpan::State::kWaiting:
        NoteWaiting();
        return Of(Span::State::kWaiting);
      case JobSpan::State::kEnd:  // a job that ended short has failed
      case JobSpan::State::kFailed:
        return Fail(writer_->job->failure());
      case JobSpan::State::kBehind: {
        std::lock_guard<std::mutex> lock(shared_->videosMutex);
        LetGoLocked();
        break;
      }
    }
  }
}

}  // namespace

int64_t EstimatedMpegLength(int64_t sourceBytes, VideoStandard standard) {
  MpegPlan plan;
  const uint64_t ms =
      static_cast<uint64_t>(std::max<int64_t>(sourceBytes, 1)) * 8000 / kGuessedSourceBitRate + 1;
  return PlanMpeg(ms, standard, &plan).empty() ? plan.length
                                               : static_cast<int64_t>(kMostPacks * kPackSize);
}

ListedLength Conversions::VideoLength(const std::string& path, SourceStamp stamp,
                                      VideoStandard standard) const {
  const std::optional<Measurement> m = shared_->cache->store().Measured(path, stamp);
  if (!m) return {ListedLength::Kind::kEstimated, EstimatedMpegLength(stamp.size, standard)};
  MpegPlan plan;
  if (m->kind != Measurement::Kind::kVideo ||
      !PlanMpeg(m->video.durationMs, standard, &plan).empty()) {
    return {ListedLength::Kind::kUnplayable, 0, true};
  }
  return {ListedLength::Kind::kExact, plan.length, true};
}

bool Conversions::VideoMustConvert(const std::string& path, SourceStamp stamp,
                                   bool* measured) const {
  const std::optional<Measurement> m = shared_->cache->store().Measured(path, stamp);
  *measured = m.has_value();
  return m && m->kind == Measurement::Kind::kVideo && !m->video.playable;
}

bool Conversions::VideoNeedsConversion(const SourceFile& source) {
  const SourceStamp stamp = StampOf(source.file);
  const std::optional<Measurement> m =
      stamp.size < 0 ? std::nullopt
                     : shared_->Measured(source.path, source.file, stamp, Shared::Probe::kVideo,
                                         /*logUnplayable=*/false);
  return m && m->kind == Measurement::Kind::kVideo && !m->video.playable;
}

std::unique_ptr<ConvertedStream> Conversions::OpenVideo(SourceFile source, SourceFile subtitles,
                                                        const VideoRequest& wanted) {
  const SourceStamp stamp = StampOf(source.file);
  const std::optional<Measurement> m =
      stamp.size < 0 ? std::nullopt
                     : shared_->Measured(source.path, source.file, stamp, Shared::Probe::kVideo);
  MpegPlan plan;
  File tail = File::CreateAnonymous("");
  if (!m || m->kind != Measurement::Kind::kVideo ||
      !PlanMpeg(m->video.durationMs, wanted.standard, &plan).empty() || !tail.valid() ||
      shared_->registry->stopping()) {
    LogCannotConvert(source.path);
    return nullptr;
  }
  const std::string bytes = MpegTail(plan);
  if (!tail.WriteAt(bytes.data(), bytes.size(), 0)) {
    LogCannotConvert(source.path);
    return nullptr;
  }
  ConverterRequest request;
  request.kind = RequestKind::kVideo;
  request.path = source.path;
  request.video = wanted;
  request.video.durationMs = m->video.durationMs;
  const std::string subtitleKey = subtitles.file.valid() && wanted.subtitles
                                      ? SourceKey("", subtitles.path, StampOf(subtitles.file))
                                      : std::string();
  if (!wanted.subtitles) subtitles = {};
  const std::string path = source.path;
  const std::string key = SourceKey(VideoShapeKey(request.video, subtitleKey), path, stamp);
  auto stream = std::make_unique<VideoStream>(shared_, std::move(source), std::move(subtitles),
                                              stamp, plan, std::move(request), std::move(tail));
  int64_t length = 0;
  File whole = shared_->cache->Find(key, &length);
  if (whole.valid() && length == plan.length) {
    stream->ServeWhole(std::move(whole));
    return stream;
  }
  std::lock_guard<std::mutex> lock(shared_->videosMutex);
  std::shared_ptr<VideoWriter>& found = shared_->videoWriters[key];
  // A ring is joined only while it holds the start and every play of it is within what it
  // converts ahead: the plays then hold none of the others back.
  const bool joinable = found && found->job->state() != ConversionJob::State::kFailed &&
                        (found->whole || (found->job->written() <= found->capacity &&
                                          found->reach.load() + kBlock <= found->ahead));
  if (!joinable) {
    std::shared_ptr<VideoWriter> started = stream->StartWriter(key);
    if (!started) {
      shared_->videoWriters.erase(key);
      LogCannotConvert(path);
      return nullptr;
    }
    found = started;
  }
  if (!stream->Serve(found)) {
    LogCannotConvert(path);
    return nullptr;
  }
  return stream;
}

}  // namespace rureza
