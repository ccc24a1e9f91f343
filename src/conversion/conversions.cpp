#include "conversion/conversions.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "conversion/conversion_cache.h"
#include "conversion/conversion_stats.h"
#include "conversion/converter_process.h"
#include "conversion/mp3_layout.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "server/activity_log.h"

namespace rureza {
namespace {

// A seek this close to what the shared conversion has written waits for it rather than
// starting a conversion of its own: at least this much, and what it writes in kNearMs.
constexpr int64_t kNearBytes = 64 * 1024;
constexpr int64_t kNearMs = 500;
// Conversions that write a cache entry nobody plays any more go on (the next play is then an
// ordinary file), but only this many: skipping through an album must not pile them up.
constexpr size_t kMostUnwatchedWriters = 2;
// Measurements go to the store in transactions of this many.
constexpr size_t kRememberBatch = 256;
// How long the destructor waits for the conversions' threads to see their processes gone.
constexpr uint32_t kEndWaitMs = 5000;

void LogCannotConvert(const std::string& path) {
  ProcessConversionStats().failed.fetch_add(1, std::memory_order_relaxed);
  AppendLogUncounted(Format("Can Not Convert File : %s", path.c_str()));
}

std::string SourceKey(const std::string& shape, const std::string& path, SourceStamp stamp) {
  return shape + "|" + std::to_string(stamp.size) + "|" + std::to_string(stamp.mtimeNs) + "|" +
         path;
}

// What a photo's header makes of it for the adapter's box: its converted size, fitted (never
// enlarged), and whether it must be converted at all.
PhotoBox Fitted(const PhotoFacts& facts, PhotoBox box) {
  if (facts.width <= box.width && facts.height <= box.height) return {facts.width, facts.height};
  const double scale = std::min(static_cast<double>(box.width) / facts.width,
                                static_cast<double>(box.height) / facts.height);
  return {std::max<uint32_t>(1, static_cast<uint32_t>(facts.width * scale)),
          std::max<uint32_t>(1, static_cast<uint32_t>(facts.height * scale))};
}

bool MustConvert(const PhotoFacts& facts, PhotoBox box) {
  return facts.needsConversion || facts.width > box.width || facts.height > box.height;
}

// Sends the request, then waits for its single answer (a probe's facts, a photo's done).
enum class Answer { kAnswered, kCrashed, kUnavailable };

// Copies a converted photo into a cache entry.
void KeepPhoto(ConversionCache& cache, File& converted, int64_t length, const std::string& key) {
  ConversionCache::Part part = cache.Begin(length);
  if (part.path.empty()) return;
  std::vector<char> buffer(64 * 1024);
  bool copied = converted.Seek(0) == 0;
  for (int64_t left = length; copied && left > 0;) {
    const int64_t n = converted.Read(buffer.data(), std::min<size_t>(buffer.size(), left));
    copied = n > 0 && part.file.Write(buffer.data(), static_cast<size_t>(n));
    left -= n;
  }
  if (copied) {
    cache.Keep(part, key);
  } else {
    cache.Drop(part);
  }
}

}  // namespace

struct SongWriter;

struct Conversions::Shared {
  // Declared first, so destroyed last: once it is set, the cache's store is closed and its
  // folder's lock let go, which the last thread to hold the Shared does after the others end.
  struct Ended {
    std::promise<void> promise;
    ~Ended() { promise.set_value(); }
  } ended;
  ConversionSettings settings;
  std::unique_ptr<ConversionCache> cache;
  std::atomic<bool> stopping{false};

  std::mutex processesMutex;
  std::set<ConverterProcess*> processes;  // guarded by processesMutex: every one alive

  std::mutex writersMutex;
  std::condition_variable writersChanged;
  // guarded by writersMutex: the conversions writing cache entries, by key
  std::map<std::string, std::shared_ptr<SongWriter>> writers;
  uint64_t writersStarted = 0;  // guarded by writersMutex

  // Untracks a process before it is deleted, so Stop() never kills a reaped pid.
  struct Untrack {
    Shared* shared;
    bool converting = false;  // counted in ProcessConversionStats().running
    void operator()(ConverterProcess* process) const {
      if (converting) ProcessConversionStats().running.fetch_sub(1, std::memory_order_relaxed);
      {
        std::lock_guard<std::mutex> lock(shared->processesMutex);
        shared->processes.erase(process);
      }
      delete process;
    }
  };
  using Process = std::unique_ptr<ConverterProcess, Untrack>;

  std::mutex proberMutex;
  Process prober{nullptr, Untrack{this}};  // guarded by proberMutex

  // The background pass (MeasureSoon).
  std::mutex waitingMutex;
  std::set<std::string> waitingSongs, waitingPhotos;  // guarded by waitingMutex
  std::function<bool()> waitingStopped;               // guarded by waitingMutex
  bool measuring = false;                             // guarded by waitingMutex

  Process StartProcess(uint64_t memoryBytes, uint32_t cpuSeconds, const File& output,
                       std::string* failure);
  Answer Ask(const ConverterRequest& request, Reply* reply);
  std::optional<Measurement> MeasureOne(const std::string& path, bool photo);
  size_t MeasureAll(const std::vector<std::string>& songs, const std::vector<std::string>& photos,
                    const std::function<bool()>& stopped);
  // The measurement of the source at path as it is now (stamp), taken now when not yet known.
  std::optional<Measurement> Measured(const std::string& path, SourceStamp stamp, bool photo);
  uint32_t SongCpuSeconds(uint64_t frames) const {
    const uint64_t minutes = Mp3FrameStartMs(frames) / 60000 + 1;
    return settings.limits.cpuSeconds +
           static_cast<uint32_t>(minutes * settings.limits.cpuSecondsPerSongMinute);
  }
};

// The conversion of a song from its start that writes its cache entry, shared by its plays.
struct SongWriter {
  SongWriter(std::string k, std::string p, int64_t l)
      : key(std::move(k)), path(std::move(p)), length(l) {}
  const std::string key;
  const std::string path;
  const int64_t length;
  ConversionCache::Part part;  // the monitor thread's once started
  // Used by the monitor thread; reset (the process ended) and killed under mutex.
  Conversions::Shared::Process process{nullptr, {nullptr}};
  uint32_t startTick = TickCountMs();
  uint64_t order = 0;      // guarded by Shared::writersMutex: when it started
  int readers = 0;         // guarded by Shared::writersMutex
  bool cancelled = false;  // guarded by Shared::writersMutex: ended for want of plays

  enum class State { kRunning, kDone, kFailed };
  std::mutex mutex;
  std::condition_variable changed;
  int64_t written = 0;            // guarded by mutex: bytes from 0 that are in the part
  State state = State::kRunning;  // guarded by mutex
  std::string failure;            // guarded by mutex

  // A read-only handle of the reader's own on the part.
  File Reader() {
    std::lock_guard<std::mutex> lock(mutex);
    return part.file.Reopen();
  }
};

namespace {

// The monitor of a writer: takes its progress, keeps the entry when it is whole, and hands
// the end to the plays.
void RunWriter(const std::shared_ptr<Conversions::Shared>& shared,
               const std::shared_ptr<SongWriter>& writer) {
  std::string failure;
  bool whole = false;
  for (;;) {
    Reply reply;
    const ConverterProcess::Outcome outcome =
        writer->process->Receive(&reply, static_cast<int>(shared->settings.limits.watchdogMs));
    if (outcome == ConverterProcess::Outcome::kSilent) {
      failure = "it hung";
      break;
    }
    if (outcome == ConverterProcess::Outcome::kGone) {
      failure = writer->process->EndText();
      break;
    }
    std::lock_guard<std::mutex> lock(writer->mutex);
    if (reply.kind == ReplyKind::kWritten && static_cast<int64_t>(reply.bytes) >= writer->written &&
        static_cast<int64_t>(reply.bytes) <= writer->length) {
      writer->written = static_cast<int64_t>(reply.bytes);
      writer->changed.notify_all();
      continue;
    }
    whole = reply.kind == ReplyKind::kDone && static_cast<int64_t>(reply.bytes) == writer->length;
    failure = whole ? "" : reply.kind == ReplyKind::kFailed ? reply.text : "it said too much";
    break;
  }
  {
    std::lock_guard<std::mutex> lock(writer->mutex);
    writer->process.reset();
  }
  if (whole) {
    shared->cache->Keep(writer->part, writer->key);
  } else {
    shared->cache->Drop(writer->part);
  }
  {
    std::lock_guard<std::mutex> lock(writer->mutex);
    writer->state = whole ? SongWriter::State::kDone : SongWriter::State::kFailed;
    if (whole) writer->written = writer->length;
    writer->failure = failure;
    writer->changed.notify_all();
  }
  std::lock_guard<std::mutex> lock(shared->writersMutex);
  auto it = shared->writers.find(writer->key);
  if (it != shared->writers.end() && it->second == writer) shared->writers.erase(it);
  shared->writersChanged.notify_all();
}

// A conversion of one play's own, from a seek's frame to the song's end: its bytes lie in an
// anonymous file at the offsets they have in the song.
struct SeekConversion {
  Conversions::Shared::Process process{nullptr, {nullptr}};
  File file;    // the converter writes here
  File reader;  // the play sends from here
  int64_t start = 0;
  int64_t end = 0;        // bytes up to here are written
  uint32_t silentMs = 0;  // waited for it without a word since it last said something
  bool done = false;
  std::string failure;  // not empty: it failed
};

class SongStream : public ConvertedStream {
 public:
  SongStream(std::shared_ptr<Conversions::Shared> shared, std::string path, uint64_t frames)
      : shared_(std::move(shared)),
        path_(std::move(path)),
        frames_(frames),
        length_(Mp3Length(frames)) {}
  ~SongStream() override;

  void ServeWhole(File file) { whole_ = std::move(file); }
  // False when the writer's file cannot be opened once more.
  bool ServeWriter(std::shared_ptr<SongWriter> writer) {
    writer_ = std::move(writer);
    writerFile_ = writer_->Reader();
    return writerFile_.valid();
  }

  int64_t length() const override { return length_; }
  Span BytesAt(int64_t offset, int64_t wanted, int waitMs) override;
  std::string failure() const override { return failure_; }

 private:
  Span Ready(File& file, int64_t offset, int64_t end) {
    Span span;
    span.state = Span::State::kReady;
    span.file = &file;
    span.fileOffset = offset;
    span.bytes = end - offset;
    return span;
  }
  Span Fail(const std::string& why) {
    if (failure_.empty()) {
      failure_ = why.empty() ? "it failed" : why;
      LogCannotConvert(path_);
    }
    Span span;
    span.state = Span::State::kFailed;
    return span;
  }
  // From the conversion of our own: ready up to need, or waiting.
  Span FromSeek(int64_t offset, int64_t need, int waitMs);
  void StartSeek(int64_t offset);

  const std::shared_ptr<Conversions::Shared> shared_;
  const std::string path_;
  const uint64_t frames_;
  const int64_t length_;
  File whole_;  // a whole entry: every byte is there
  std::shared_ptr<SongWriter> writer_;
  File writerFile_;
  std::unique_ptr<SeekConversion> seek_;
  std::string failure_;
};

SongStream::~SongStream() {
  if (!writer_) return;
  // Conversions nobody plays any more go on to fill the cache, up to a few; the oldest of the
  // rest are ended.
  std::lock_guard<std::mutex> lock(shared_->writersMutex);
  --writer_->readers;
  std::vector<SongWriter*> unwatched;
  for (const auto& [key, writer] : shared_->writers) {
    if (writer->readers == 0 && !writer->cancelled) unwatched.push_back(writer.get());
  }
  std::sort(unwatched.begin(), unwatched.end(),
            [](const SongWriter* a, const SongWriter* b) { return a->order < b->order; });
  for (size_t i = 0; i + kMostUnwatchedWriters < unwatched.size(); ++i) {
    unwatched[i]->cancelled = true;  // a new play starts afresh instead of joining it
    std::lock_guard<std::mutex> writerLock(unwatched[i]->mutex);
    if (unwatched[i]->process) unwatched[i]->process->Kill();
  }
}

ConvertedStream::Span SongStream::BytesAt(int64_t offset, int64_t wanted, int waitMs) {
  if (offset < 0 || offset >= length_) {
    Span span;
    span.state = Span::State::kEnd;
    return span;
  }
  if (!failure_.empty()) return Fail(failure_);
  const int64_t need = offset + std::max<int64_t>(1, std::min(wanted, length_ - offset));
  if (whole_.valid()) return Ready(whole_, offset, length_);
  // A play that seeked stays with its own conversion: the shared one's frames around the point
  // where one would switch are another encoding's.
  if (seek_ && offset >= seek_->start && seek_->failure.empty()) {
    return FromSeek(offset, need, waitMs);
  }
  int64_t written;
  SongWriter::State state;
  std::string failure;
  {
    std::unique_lock<std::mutex> lock(writer_->mutex);
    written = writer_->written;
    const int64_t elapsed = static_cast<int64_t>(TickCountMs() - writer_->startTick);
    const int64_t near =
        written + std::max(kNearBytes, elapsed > 0 ? written * kNearMs / elapsed : 0);
    if (written < need && writer_->state == SongWriter::State::kRunning && offset <= near) {
      writer_->changed.wait_for(lock, std::chrono::milliseconds(std::max(waitMs, 0)), [&] {
        return writer_->written >= need || writer_->state != SongWriter::State::kRunning;
      });
      written = writer_->written;
      if (written < need && writer_->state == SongWriter::State::kRunning) return Span{};
    }
    state = writer_->state;
    failure = writer_->failure;
  }
  // Up to where the play's own conversion begins, so the switch to it falls between frames.
  if (seek_ && seek_->failure.empty() && seek_->start > offset) {
    written = std::min(written, seek_->start);
  }
  if (written >= need) return Ready(writerFile_, offset, written);
  // A conversion that failed on this song fails wherever it is started.
  if (state == SongWriter::State::kFailed) return Fail(failure);
  StartSeek(offset);
  if (!seek_->failure.empty()) return Fail(seek_->failure);
  return FromSeek(offset, need, waitMs);
}

void SongStream::StartSeek(int64_t offset) {
  seek_ = std::make_unique<SeekConversion>();
  const uint64_t frame = Mp3FrameAt(offset);
  seek_->start = seek_->end = Mp3Length(frame);
  seek_->file = shared_->cache->Scratch(length_, seek_->start);
  std::string failure;
  if (!seek_->file.valid() || seek_->file.Seek(seek_->start) != seek_->start) {
    seek_->failure = "no file to convert into";
    return;
  }
  seek_->reader = seek_->file.Reopen();
  seek_->process =
      shared_->StartProcess(shared_->settings.limits.songMemoryBytes,
                            shared_->SongCpuSeconds(frames_ - frame), seek_->file, &failure);
  ConverterRequest request;
  request.kind = RequestKind::kSong;
  request.path = path_;
  request.song = {path_, kMp3SampleRate, kMp3BitRate, frame, frames_};
  if (!seek_->process || !seek_->reader.valid() || !seek_->process->Send(request)) {
    seek_->failure = failure.empty() ? "it cannot be started" : failure;
  }
}

ConvertedStream::Span SongStream::FromSeek(int64_t offset, int64_t need, int waitMs) {
  SeekConversion& seek = *seek_;
  const uint32_t start = TickCountMs();
  while (seek.end < need && !seek.done && seek.failure.empty()) {
    const int waited = static_cast<int>(TickCountMs() - start);
    if (waited >= waitMs) return Span{};
    Reply reply;
    const uint32_t asked = TickCountMs();
    // Silence counts only while the play waits: while it did not ask, nobody read the replies.
    switch (seek.process->Receive(&reply, waitMs - waited)) {
      case ConverterProcess::Outcome::kSilent:
        seek.silentMs += TickCountMs() - asked;
        if (seek.silentMs >= shared_->settings.limits.watchdogMs) seek.failure = "it hung";
        continue;
      case ConverterProcess::Outcome::kGone:
        seek.failure = seek.process->EndText();
        continue;
      case ConverterProcess::Outcome::kReply:
        seek.silentMs = 0;
        break;
    }
    const int64_t end = seek.start + static_cast<int64_t>(reply.bytes);
    if (reply.kind == ReplyKind::kWritten && end >= seek.end && end <= length_) {
      seek.end = end;
    } else if (reply.kind == ReplyKind::kDone && end == length_) {
      seek.end = end;
      seek.done = true;
    } else {
      seek.failure = reply.kind == ReplyKind::kFailed ? reply.text : "it said too much";
    }
  }
  if (seek.end >= need || (seek.done && offset < seek.end)) {
    return Ready(seek.reader, offset, seek.end);
  }
  seek.process.reset();
  return Fail(seek.failure);
}

}  // namespace

Conversions::Shared::Process Conversions::Shared::StartProcess(uint64_t memoryBytes,
                                                               uint32_t cpuSeconds,
                                                               const File& output,
                                                               std::string* failure) {
  if (stopping.load()) {
    *failure = "the server stops";
    return Process(nullptr, Untrack{this});
  }
  Status status;
  std::unique_ptr<ConverterProcess> started = ConverterProcess::Start(
      settings.converterProgram, {memoryBytes, cpuSeconds}, output, &status);
  if (!started) {
    *failure = "the converter cannot be started: " + status.text;
    return Process(nullptr, Untrack{this});
  }
  Process process(started.release(), Untrack{this, output.valid()});
  if (output.valid()) {
    ProcessConversionStats().started.fetch_add(1, std::memory_order_relaxed);
    ProcessConversionStats().running.fetch_add(1, std::memory_order_relaxed);
  }
  std::lock_guard<std::mutex> lock(processesMutex);
  processes.insert(process.get());
  // A Stop() that came meanwhile has not seen it.
  if (stopping.load()) process->Kill();
  return process;
}

Answer Conversions::Shared::Ask(const ConverterRequest& request, Reply* reply) {
  std::lock_guard<std::mutex> lock(proberMutex);
  const ReplyKind expected =
      request.kind == RequestKind::kProbeSong ? ReplyKind::kSongFacts : ReplyKind::kPhotoFacts;
  // A process that dies on a file may have died of something else (its processor time is
  // counted over all its probes): a fresh one tries once more. One that hangs on it is not
  // given a second chance.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!prober) {
      std::string failure;
      prober = StartProcess(settings.limits.photoMemoryBytes, settings.limits.cpuSeconds, File(),
                            &failure);
      if (!prober) return Answer::kUnavailable;
    }
    ConverterProcess::Outcome outcome = ConverterProcess::Outcome::kGone;
    if (prober->Send(request)) {
      outcome = prober->Receive(reply, static_cast<int>(settings.limits.watchdogMs));
    }
    if (outcome == ConverterProcess::Outcome::kReply &&
        (reply->kind == expected || reply->kind == ReplyKind::kFailed)) {
      return Answer::kAnswered;
    }
    prober.reset();
    if (stopping.load()) return Answer::kUnavailable;
    if (outcome == ConverterProcess::Outcome::kSilent) break;
  }
  return Answer::kCrashed;
}

std::optional<Measurement> Conversions::Shared::MeasureOne(const std::string& path, bool photo) {
  Measurement m;
  m.stamp = StampOf(path);
  if (m.stamp.size < 0) return std::nullopt;
  ConverterRequest request;
  request.kind = photo ? RequestKind::kProbePhoto : RequestKind::kProbeSong;
  request.path = path;
  Reply reply;
  const Answer answer = Ask(request, &reply);
  if (answer == Answer::kUnavailable) return std::nullopt;
  if (answer == Answer::kAnswered && reply.kind == ReplyKind::kSongFacts) {
    m.kind = Measurement::Kind::kSong;
    m.song = reply.song;
  } else if (answer == Answer::kAnswered && reply.kind == ReplyKind::kPhotoFacts) {
    m.kind = Measurement::Kind::kPhoto;
    m.photo = reply.photo;
  }
  // A file that changed while it was read is measured again next time.
  if (!(StampOf(path) == m.stamp)) return std::nullopt;
  return m;
}

std::optional<Measurement> Conversions::Shared::Measured(const std::string& path, SourceStamp stamp,
                                                         bool photo) {
  std::optional<Measurement> m = cache->store().Measured(path, stamp);
  if (m) return m;
  m = MeasureOne(path, photo);
  if (m) cache->store().Remember({{path, *m}});
  if (m && !(m->stamp == stamp)) return std::nullopt;
  return m;
}

std::shared_ptr<Conversions> Conversions::Start(const ConversionSettings& settings,
                                                std::string* problem) {
  auto shared = std::make_shared<Shared>();
  shared->settings = settings;
  shared->cache = ConversionCache::Open(settings.cacheFolder, settings.cacheBytes, problem);
  return std::shared_ptr<Conversions>(new Conversions(std::move(shared)));
}

Conversions::~Conversions() {
  Stop();
  {
    std::unique_lock<std::mutex> lock(shared_->writersMutex);
    shared_->writersChanged.wait_for(lock, std::chrono::milliseconds(kEndWaitMs),
                                     [this] { return shared_->writers.empty(); });
  }
  // The threads that ran them let go of the cache last, and may still be closing it when they
  // drop the last reference; once it is closed, the cache's folder is free for the next user
  // (a restart in the same process).
  std::future<void> ended = shared_->ended.promise.get_future();
  shared_.reset();
  ended.wait_for(std::chrono::milliseconds(kEndWaitMs));
}

void Conversions::Stop() {
  shared_->stopping.store(true);
  std::lock_guard<std::mutex> lock(shared_->processesMutex);
  for (ConverterProcess* process : shared_->processes) process->Kill();
}

const ConversionSettings& Conversions::settings() const { return shared_->settings; }

ListedLength Conversions::SongLength(const std::string& path, SourceStamp stamp,
                                     std::string_view ending) const {
  const std::optional<Measurement> m = shared_->cache->store().Measured(path, stamp);
  if (!m) return {ListedLength::Kind::kEstimated, EstimatedMp3Length(ending, stamp.size)};
  const uint64_t frames =
      m->kind == Measurement::Kind::kSong ? Mp3FramesFor(m->song.samples, m->song.sampleRate) : 0;
  if (frames == 0) return {ListedLength::Kind::kUnplayable, 0, true};
  return {ListedLength::Kind::kExact, Mp3Length(frames), true};
}

ListedLength Conversions::PhotoLength(const std::string& path, SourceStamp stamp) const {
  return PhotoLength(path, stamp, shared_->settings.photoSize);
}

ListedLength Conversions::PhotoLength(const std::string& path, SourceStamp stamp,
                                      PhotoBox box) const {
  const std::optional<Measurement> m = shared_->cache->store().Measured(path, stamp);
  const std::optional<CacheEntry> entry =
      shared_->cache->store().Entry(SourceKey(PhotoShapeKey(box), path, stamp));
  if (entry) return {ListedLength::Kind::kExact, entry->length, true};
  if (m && m->kind != Measurement::Kind::kPhoto) return {ListedLength::Kind::kUnplayable, 0, true};
  // A JPEG of photos at the quality used takes about a quarter of a byte per pixel.
  const PhotoBox fitted = m ? Fitted(m->photo, box) : box;
  return {ListedLength::Kind::kEstimated, int64_t{fitted.width} * fitted.height / 4 + 1024,
          m.has_value()};
}

ListedLength Conversions::JpegLength(const std::string& path, SourceStamp stamp,
                                     PhotoBox box) const {
  const std::optional<Measurement> m = shared_->cache->store().Measured(path, stamp);
  if (!m || m->kind != Measurement::Kind::kPhoto || !MustConvert(m->photo, box)) {
    return {ListedLength::Kind::kAsIs, stamp.size, m.has_value()};
  }
  return PhotoLength(path, stamp, box);
}

size_t Conversions::Measure(const std::vector<std::string>& songs,
                            const std::vector<std::string>& photos,
                            const std::function<bool()>& stopped) {
  return shared_->MeasureAll(songs, photos, stopped);
}

size_t Conversions::Shared::MeasureAll(const std::vector<std::string>& songs,
                                       const std::vector<std::string>& photos,
                                       const std::function<bool()>& stopped) {
  std::vector<std::pair<std::string, rureza::Measurement>> measured;
  size_t count = 0;
  auto flush = [&] {
    cache->store().Remember(measured);
    count += measured.size();
    measured.clear();
  };
  for (const auto* list : {&songs, &photos}) {
    for (const std::string& path : *list) {
      if (stopped() || stopping.load()) break;
      if (cache->store().Measured(path, StampOf(path))) continue;
      std::optional<rureza::Measurement> m = MeasureOne(path, list == &photos);
      if (m) measured.emplace_back(path, *m);
      if (measured.size() >= kRememberBatch) flush();
    }
  }
  flush();
  return count;
}

void Conversions::MeasureSoon(std::vector<std::string> songs, std::vector<std::string> photos,
                              std::function<bool()> stopped) {
  const std::shared_ptr<Shared> shared = shared_;
  std::lock_guard<std::mutex> lock(shared->waitingMutex);
  for (auto [from, to] :
       {std::pair{&songs, &shared->waitingSongs}, {&photos, &shared->waitingPhotos}}) {
    for (std::string& path : *from) {
      if (shared->waitingSongs.size() + shared->waitingPhotos.size() >= kMostWaiting) break;
      to->insert(std::move(path));
    }
  }
  shared->waitingStopped = std::move(stopped);
  if (shared->measuring) return;
  shared->measuring = StartThread([shared] {
    std::unique_lock<std::mutex> lock(shared->waitingMutex);
    while ((!shared->waitingSongs.empty() || !shared->waitingPhotos.empty()) &&
           !shared->waitingStopped() && !shared->stopping.load()) {
      std::vector<std::string> songs(shared->waitingSongs.begin(), shared->waitingSongs.end());
      std::vector<std::string> photos(shared->waitingPhotos.begin(), shared->waitingPhotos.end());
      shared->waitingSongs.clear();
      shared->waitingPhotos.clear();
      const std::function<bool()> stopped = shared->waitingStopped;
      lock.unlock();
      shared->MeasureAll(songs, photos, stopped);
      lock.lock();
    }
    shared->waitingSongs.clear();
    shared->waitingPhotos.clear();
    shared->waitingStopped = nullptr;
    shared->measuring = false;
  });
}

std::unique_ptr<ConvertedStream> Conversions::OpenSong(const std::string& path) {
  const SourceStamp stamp = StampOf(path);
  const std::optional<rureza::Measurement> m =
      stamp.size < 0 ? std::nullopt : shared_->Measured(path, stamp, false);
  const uint64_t frames = m && m->kind == rureza::Measurement::Kind::kSong
                              ? Mp3FramesFor(m->song.samples, m->song.sampleRate)
                              : 0;
  if (frames == 0 || shared_->stopping.load()) {
    LogCannotConvert(path);
    return nullptr;
  }
  auto stream = std::make_unique<SongStream>(shared_, path, frames);
  const std::string key = SourceKey(SongShapeKey(), path, stamp);
  int64_t length = 0;
  File whole = shared_->cache->Find(key, &length);
  if (whole.valid() && length == stream->length()) {
    stream->ServeWhole(std::move(whole));
    return stream;
  }
  std::lock_guard<std::mutex> lock(shared_->writersMutex);
  std::shared_ptr<SongWriter>& writer = shared_->writers[key];
  if (!writer || writer->cancelled) {
    auto started = std::make_shared<SongWriter>(key, path, stream->length());
    started->part = shared_->cache->Begin(started->length);
    std::string failure;
    started->process =
        shared_->StartProcess(shared_->settings.limits.songMemoryBytes,
                              shared_->SongCpuSeconds(frames), started->part.file, &failure);
    ConverterRequest request;
    request.kind = RequestKind::kSong;
    request.path = path;
    request.song = {path, kMp3SampleRate, kMp3BitRate, 0, frames};
    if (!started->part.file.valid() || !started->process || !started->process->Send(request) ||
        !StartThread([shared = shared_, started] { RunWriter(shared, started); })) {
      shared_->writers.erase(key);
      if (started->process) started->process.reset();
      shared_->cache->Drop(started->part);
      LogCannotConvert(path);
      return nullptr;
    }
    started->order = ++shared_->writersStarted;
    writer = started;
  }
  ++writer->readers;
  if (!stream->ServeWriter(writer)) {
    LogCannotConvert(path);
    return nullptr;  // its destructor lets go of the writer
  }
  return stream;
}

Conversions::Photo Conversions::OpenPhoto(const std::string& path) {
  return OpenPhoto(path, shared_->settings.photoSize);
}

Conversions::Photo Conversions::OpenPhoto(const std::string& path, PhotoBox box) {
  Photo photo;
  const SourceStamp stamp = StampOf(path);
  const std::string key = SourceKey(PhotoShapeKey(box), path, stamp);
  if (stamp.size >= 0) photo.file = shared_->cache->Find(key, &photo.length);
  if (photo.file.valid()) return photo;
  // Converted in memory first: a photo is small, and a cache folder that is full then costs
  // only the keeping.
  File converted = File::CreateAnonymous("");
  std::string failure;
  Shared::Process process =
      stamp.size < 0 || !converted.valid()
          ? Shared::Process(nullptr, Shared::Untrack{shared_.get()})
          : shared_->StartProcess(shared_->settings.limits.photoMemoryBytes,
                                  shared_->settings.limits.cpuSeconds, converted, &failure);
  ConverterRequest request;
  request.kind = RequestKind::kPhoto;
  request.path = path;
  request.box = box;
  Reply reply;
  if (!process || !process->Send(request) ||
      process->Receive(&reply, static_cast<int>(shared_->settings.limits.watchdogMs)) !=
          ConverterProcess::Outcome::kReply ||
      reply.kind != ReplyKind::kDone || reply.bytes == 0 ||
      converted.Length() != static_cast<int64_t>(reply.bytes) || !(StampOf(path) == stamp)) {
    LogCannotConvert(path);
    return photo;
  }
  process.reset();
  photo.length = static_cast<int64_t>(reply.bytes);
  photo.file = converted.Reopen();
  if (!photo.file.valid()) {
    LogCannotConvert(path);
    return photo;
  }
  // Kept in the cache once the photo is on its way: the copy and its flush to the disk cost
  // the adapter nothing.
  auto keep = [shared = shared_, converted = std::make_shared<File>(std::move(converted)), key,
               length = photo.length] { KeepPhoto(*shared->cache, *converted, length, key); };
  if (!StartThread(keep)) keep();
  return photo;
}

bool Conversions::JpegNeedsConversion(const std::string& path) {
  return JpegNeedsConversion(path, shared_->settings.photoSize);
}

bool Conversions::JpegNeedsConversion(const std::string& path, PhotoBox box) {
  const SourceStamp stamp = StampOf(path);
  const std::optional<rureza::Measurement> m =
      stamp.size < 0 ? std::nullopt : shared_->Measured(path, stamp, true);
  return m && m->kind == rureza::Measurement::Kind::kPhoto && MustConvert(m->photo, box);
}

}  // namespace rureza
