// Photos sent as baseline JPEG: one conversion per photo however many plays ask for it at once,
// at most one per processor at a time, kept in the cache; the next photos of a slideshow ahead.
#include <vector>

#include "conversion/conversions_shared.h"
#include "platform/thread.h"

namespace rureza {
namespace {

// How often a play that waits for a photo's conversion looks whether the server stops.
constexpr int kPhotoWaitSliceMs = 200;

// Copies a converted photo into a cache entry.
void KeepPhoto(ConversionCache& cache, File& converted, int64_t length, const std::string& key) {
  ConversionCache::Part part = cache.Begin(length);
  if (!part.file.valid()) return;
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

std::shared_ptr<ConversionJob> Conversions::Shared::PhotoJob(const std::shared_ptr<Shared>& shared,
                                                             const SourceFile& source,
                                                             SourceStamp stamp, PhotoBox box) {
  const std::string key = SourceKey(PhotoShapeKey(box), source.path, stamp);
  std::lock_guard<std::mutex> lock(shared->photosMutex);
  std::shared_ptr<ConversionJob>& found = shared->photos[key];
  if (found && found->state() != ConversionJob::State::kFailed) return found;
  ConversionJobSpec setup;
  // Converted in memory first: a photo is small, and a cache folder that is full then costs
  // only the keeping.
  File memory = File::CreateAnonymous("");
  auto kept = std::make_shared<File>(memory.Duplicate());
  setup.spool = ConversionSpool::Whole(std::move(memory));
  setup.source = source.file.Reopen();
  if (!setup.spool.valid() || !setup.source.valid() || !kept->valid()) {
    shared->photos.erase(key);
    return nullptr;
  }
  setup.request.kind = RequestKind::kPhoto;
  setup.request.path = source.path;
  setup.request.box = box;
  // A photo converted ahead runs at the priority of any other: a play that asks for it meanwhile
  // waits for this very conversion, and a priority once lowered cannot be raised again.
  setup.limits = {shared->settings.limits.photoMemoryBytes, shared->settings.limits.cpuSeconds};
  setup.watchdogMs = shared->settings.limits.watchdogMs;
  setup.slots = shared->photoSlots;
  auto self = std::make_shared<std::weak_ptr<ConversionJob>>();
  setup.onEnd = [shared, kept, key, self](bool whole) {
    const std::shared_ptr<ConversionJob> job = self->lock();
    // Kept in the cache once the plays have it: the copy and its flush cost them nothing.
    if (whole && job) KeepPhoto(*shared->cache, *kept, job->end(), key);
    std::lock_guard<std::mutex> lock(shared->photosMutex);
    auto it = shared->photos.find(key);
    if (it != shared->photos.end() && it->second == job) shared->photos.erase(it);
  };
  // Under photosMutex: its onEnd cannot run before self is set.
  found = ConversionJob::Start(shared->registry, std::move(setup));
  if (!found) {
    shared->photos.erase(key);
    return nullptr;
  }
  *self = found;
  return found;
}

Conversions::Photo Conversions::OpenPhoto(SourceFile source, PhotoBox box) {
  Photo photo;
  const SourceStamp stamp = StampOf(source.file);
  if (stamp.size >= 0) {
    photo.file =
        shared_->cache->Find(SourceKey(PhotoShapeKey(box), source.path, stamp), &photo.length);
  }
  if (photo.file.valid()) return photo;
  std::shared_ptr<ConversionJob> job =
      stamp.size < 0 ? nullptr : Shared::PhotoJob(shared_, source, stamp, box);
  std::unique_ptr<ConversionJob::Reader> reader = job ? job->NewReader() : nullptr;
  if (!reader) {
    LogCannotConvert(source.path);
    return photo;
  }
  while (!job->WaitForEnd(kPhotoWaitSliceMs)) {
  }
  const ConversionJob::Span span = reader->BytesAt(0, 1, 0);
  if (job->state() != ConversionJob::State::kDone ||
      span.state != ConversionJob::Span::State::kReady || !(StampOf(source.file) == stamp)) {
    LogCannotConvert(source.path);
    return photo;
  }
  photo.length = job->end();
  photo.file = span.file->Reopen();
  if (!photo.file.valid()) LogCannotConvert(source.path);
  return photo;
}

void Conversions::PrefetchPhotos(std::function<std::vector<SourceFile>()> next, PhotoBox box) {
  const std::shared_ptr<Shared> shared = shared_;
  std::lock_guard<std::mutex> lock(shared->photosMutex);
  // A slideshow that moves on replaces what it asked before.
  shared->prefetches.assign(1, std::move(next));
  if (shared->prefetching) return;
  shared->prefetching = StartThread([shared, box] {
    std::unique_lock<std::mutex> lock(shared->photosMutex);
    while (!shared->prefetches.empty() && !shared->registry->stopping()) {
      const auto next = std::move(shared->prefetches.front());
      shared->prefetches.erase(shared->prefetches.begin());
      lock.unlock();
      for (SourceFile& source : next()) {
        const SourceStamp stamp = StampOf(source.file);
        if (stamp.size < 0 || shared->registry->stopping() ||
            shared->cache->store().Entry(SourceKey(PhotoShapeKey(box), source.path, stamp))) {
          continue;
        }
        // One at a time, so the slideshow's own plays find a free slot.
        if (std::shared_ptr<ConversionJob> job = Shared::PhotoJob(shared, source, stamp, box)) {
          while (!job->WaitForEnd(kPhotoWaitSliceMs)) {
          }
        }
      }
      lock.lock();
    }
    shared->prefetches.clear();
    shared->prefetching = false;
  });
}

}  // namespace rureza
