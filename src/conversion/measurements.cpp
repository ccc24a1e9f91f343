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
                                                           const File& file, Probe probe) {
  Measurement m;
  m.stamp = StampOf(file);
  if (m.stamp.size < 0) return std::nullopt;
  ConverterRequest request;
  request.kind = probe == Probe::kPhoto   ? RequestKind::kProbePhoto
                 : probe == Probe::kVideo ? RequestKind::kProbeVideo
                                          : RequestKind::kProbeSong;
  request.path = path;
  const ReplyKind expected = probe == Probe::kPhoto   ? ReplyKind::kPhotoFacts
                             : probe == Probe::kVideo ? ReplyKind::kVideoFacts
                                                      : ReplyKind::kSongFacts;
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
  } else if (answered && reply.kind == ReplyKind::kVideoFacts) {
    // One too long for the adapter's 2 GiB at any watchable rate cannot be played either.
    MpegPlan plan;
    m.why =
        reply.video.playable ? "" : PlanMpeg(reply.video.durationMs, VideoStandard::kPal, &plan);
    m.kind = m.why.empty() ? Measurement::Kind::kVideo : Measurement::Kind::kUnreadable;
    m.video = reply.video;
  } else {
    m.why = answered ? reply.text : "the converter " + reply.text;
  }
  // A file that changed while it was read is measured again next time.
  if (!(StampOf(file) == m.stamp)) return std::nullopt;
  return m;
}

std::optional<Measurement> Conversions::Shared::Measured(const std::string& path, const File& file,
                                                         SourceStamp stamp, Probe probe,
                                                         bool logUnplayable) {
  std::optional<Measurement> m = cache->store().Measured(path, stamp);
  if (m) return m;
  m = MeasureOne(path, file, probe);
  if (!m) return m;
  cache->store().Remember({{path, *m}});
  if (logUnplayable) LogUnplayable(path, *m);
  if (!(m->stamp == stamp)) return std::nullopt;
  return m;
}

size_t Conversions::Shared::MeasureAll(const ToMeasure& sources,
                                       const std::function<bool()>& stopped) {
  {
    std::lock_guard<std::mutex> lock(proberMutex);
    ++batches;
  }
  std::vector<std::pair<std::string, Measurement>> measured;
  std::set<std::string> unlogged;  // checked only: not left out whatever they are
  size_t count = 0;
  auto flush = [&] {
    cache->store().Remember(measured);
    for (const auto& [path, m] : measured) {
      if (unlogged.count(path) == 0) LogUnplayable(path, m);
    }
    count += measured.size();
    measured.clear();
    unlogged.clear();
  };
  const std::pair<const std::vector<std::string>*, Probe> lists[] = {
      {&sources.songs, Probe::kSong},
      {&sources.photos, Probe::kPhoto},
      {&sources.videos, Probe::kVideo},
      {&sources.checkedVideos, Probe::kVideo}};
  for (const auto& [list, probe] : lists) {
    for (const std::string& path : *list) {
      if (stopped() || registry->stopping()) break;
      if (cache->store().Measured(path, StampOf(path))) continue;
      const File file = File::OpenSharedNative(path);
      std::optional<Measurement> m = MeasureOne(path, file, probe);
      if (!m) continue;
      measured.emplace_back(path, *m);
      if (list == &sources.checkedVideos) unlogged.insert(path);
      if (measured.size() >= kRememberBatch) flush();
    }
  }
  flush();
  std::lock_guard<std::mutex> lock(proberMutex);
  // The batch's converter ends with it: none lingers between passes.
  if (--batches == 0) prober.reset();
  return count;
}

size_t Conversions::Measure(const ToMeasure& sources, const std::function<bool()>& stopped) {
  return shared_->MeasureAll(sources, stopped);
}

namespace {

// The lists of a batch in the order of Shared::waiting.
std::vector<std::string>* Lists(Conversions::ToMeasure& batch, size_t i) {
  std::vector<std::string>* lists[] = {&batch.songs, &batch.photos, &batch.videos,
                                       &batch.checkedVideos};
  return lists[i];
}

}  // namespace

void Conversions::MeasureSoon(ToMeasure sources, std::function<bool()> stopped) {
  const std::shared_ptr<Shared> shared = shared_;
  std::lock_guard<std::mutex> lock(shared->waitingMutex);
  size_t waiting = 0;
  for (const std::set<std::string>& list : shared->waiting) waiting += list.size();
  for (size_t i = 0; i < std::size(shared->waiting); ++i) {
    for (std::string& path : *Lists(sources, i)) {
      if (waiting >= kMostWaiting) break;
      waiting += shared->waiting[i].insert(std::move(path)).second ? 1 : 0;
    }
  }
  shared->waitingStopped = std::move(stopped);
  if (shared->measuring) return;
  shared->measuring = StartThread([shared] {
    std::unique_lock<std::mutex> lock(shared->waitingMutex);
    auto any = [&] {
      for (const std::set<std::string>& list : shared->waiting) {
        if (!list.empty()) return true;
      }
      return false;
    };
    while (any() && !shared->waitingStopped() && !shared->registry->stopping()) {
      ToMeasure batch;
      for (size_t i = 0; i < std::size(shared->waiting); ++i) {
        Lists(batch, i)->assign(shared->waiting[i].begin(), shared->waiting[i].end());
        shared->waiting[i].clear();
      }
      const std::function<bool()> stopped = shared->waitingStopped;
      lock.unlock();
      shared->MeasureAll(batch, stopped);
      lock.lock();
    }
    for (std::set<std::string>& list : shared->waiting) list.clear();
    shared->waitingStopped = nullptr;
    shared->measuring = false;
  });
}

bool Conversions::JpegNeedsConversion(const SourceFile& source, PhotoBox box, bool* unplayable) {
  const SourceStamp stamp = StampOf(source.file);
  const std::optional<Measurement> m =
      stamp.size < 0 ? std::nullopt
                     : shared_->Measured(source.path, source.file, stamp, Shared::Probe::kPhoto);
  *unplayable = m && m->kind != Measurement::Kind::kPhoto;
  return m && m->kind == Measurement::Kind::kPhoto && MustConvert(m->photo, box);
}

}  // namespace rureza
