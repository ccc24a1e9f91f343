// What sources hold, read from their headers by one converter (the prober) and kept in the
// store: in the background for what listings found, or now for a play that needs it.
#include <algorithm>

#include "conversion/conversions_shared.h"
#include "platform/thread.h"
#include "server/activity_log.h"

namespace rureza {
namespace {

// Measurements go to the store in transactions of this many.
constexpr size_t kRememberBatch = 256;

// Says why a source is left out of the listing, once for each version of it measured.
void LogUnplayable(const std::string& path, const Measurement& m) {
  if (m.kind != Measurement::Kind::kUnreadable) return;
  AppendLogUncounted(Format("Left out of the listing, it cannot be played : %s (%s)", path.c_str(),
                            m.why.empty() ? "no reason given" : m.why.c_str()));
}

}  // namespace

std::optional<Measurement> Conversions::Shared::MeasureOne(const std::string& path,
                                                           const File& file, bool photo) {
  Measurement m;
  m.stamp = StampOf(file);
  if (m.stamp.size < 0) return std::nullopt;
  ConverterRequest request;
  request.kind = photo ? RequestKind::kProbePhoto : RequestKind::kProbeSong;
  request.path = path;
  const ReplyKind expected = photo ? ReplyKind::kPhotoFacts : ReplyKind::kSongFacts;
  std::lock_guard<std::mutex> lock(proberMutex);
  // A process that dies on a file may have died of something else (its processor time is
  // counted over all its probes): a fresh one tries once more. One that hangs on it is not
  // given a second chance.
  bool answered = false;
  Reply reply;
  for (int attempt = 0; attempt < 2 && !answered; ++attempt) {
    if (!prober) {
      std::string failure;
      prober = registry->Start({settings.limits.photoMemoryBytes, settings.limits.cpuSeconds},
                               false, &failure);
      if (!prober) return std::nullopt;
    }
    ConverterProcess::Outcome outcome = ConverterProcess::Outcome::kGone;
    // A description of its own: the converter moves its offset, and the caller may read on.
    const File own = file.Reopen();
    if (own.valid() && prober->Send(request, {own.fd()})) {
      outcome = prober->Receive(&reply, static_cast<int>(settings.limits.watchdogMs));
    }
    answered = outcome == ConverterProcess::Outcome::kReply &&
               (reply.kind == expected || reply.kind == ReplyKind::kFailed);
    if (answered) break;
    reply.text = outcome == ConverterProcess::Outcome::kSilent ? "it hung" : prober->EndText();
    prober.reset();
    if (registry->stopping()) return std::nullopt;
    if (outcome == ConverterProcess::Outcome::kSilent) break;
  }
  // One read now for a play, not a batch's: no converter stays behind idle.
  if (batches == 0) prober.reset();
  if (answered && reply.kind == ReplyKind::kSongFacts) {
    m.kind = Measurement::Kind::kSong;
    m.song = reply.song;
  } else if (answered && reply.kind == ReplyKind::kPhotoFacts) {
    m.kind = Measurement::Kind::kPhoto;
    m.photo = reply.photo;
  } else {
    m.why = answered ? reply.text : "the converter " + reply.text;
  }
  // A file that changed while it was read is measured again next time.
  if (!(StampOf(file) == m.stamp)) return std::nullopt;
  return m;
}

std::optional<Measurement> Conversions::Shared::Measured(const std::string& path, const File& file,
                                                         SourceStamp stamp, bool photo) {
  std::optional<Measurement> m = cache->store().Measured(path, stamp);
  if (m) return m;
  m = MeasureOne(path, file, photo);
  if (!m) return m;
  cache->store().Remember({{path, *m}});
  LogUnplayable(path, *m);
  if (!(m->stamp == stamp)) return std::nullopt;
  return m;
}

size_t Conversions::Shared::MeasureAll(const std::vector<std::string>& songs,
                                       const std::vector<std::string>& photos,
                                       const std::function<bool()>& stopped) {
  {
    std::lock_guard<std::mutex> lock(proberMutex);
    ++batches;
  }
  std::vector<std::pair<std::string, Measurement>> measured;
  size_t count = 0;
  auto flush = [&] {
    cache->store().Remember(measured);
    for (const auto& [path, m] : measured) LogUnplayable(path, m);
    count += measured.size();
    measured.clear();
  };
  for (const auto* list : {&songs, &photos}) {
    for (const std::string& path : *list) {
      if (stopped() || registry->stopping()) break;
      if (cache->store().Measured(path, StampOf(path))) continue;
      const File file = File::OpenSharedNative(path);
      std::optional<Measurement> m = MeasureOne(path, file, list == &photos);
      if (m) measured.emplace_back(path, *m);
      if (measured.size() >= kRememberBatch) flush();
    }
  }
  flush();
  std::lock_guard<std::mutex> lock(proberMutex);
  // The batch's converter ends with it: none lingers between passes.
  if (--batches == 0) prober.reset();
  return count;
}

size_t Conversions::Measure(const std::vector<std::string>& songs,
                            const std::vector<std::string>& photos,
                            const std::function<bool()>& stopped) {
  return shared_->MeasureAll(songs, photos, stopped);
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
           !shared->waitingStopped() && !shared->registry->stopping()) {
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

bool Conversions::JpegNeedsConversion(const SourceFile& source, PhotoBox box, bool* unplayable) {
  const SourceStamp stamp = StampOf(source.file);
  const std::optional<Measurement> m =
      stamp.size < 0 ? std::nullopt : shared_->Measured(source.path, source.file, stamp, true);
  *unplayable = m && m->kind != Measurement::Kind::kPhoto;
  return m && m->kind == Measurement::Kind::kPhoto && MustConvert(m->photo, box);
}

}  // namespace rureza
