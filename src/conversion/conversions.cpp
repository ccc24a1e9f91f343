#include "conversion/conversions.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "conversion/conversion_stats.h"
#include "conversion/conversions_shared.h"
#include "conversion/mp3_layout.h"
#include "server/activity_log.h"

namespace rureza {
namespace {

// How long the destructor waits for the conversions' threads to see their processes gone.
constexpr uint32_t kEndWaitMs = 5000;

// What a photo's header makes of it for the adapter's box: its converted size, fitted (never
// enlarged), and whether it must be converted at all.
PhotoBox Fitted(const PhotoFacts& facts, PhotoBox box) {
  if (facts.width <= box.width && facts.height <= box.height) return {facts.width, facts.height};
  const double scale = std::min(static_cast<double>(box.width) / facts.width,
                                static_cast<double>(box.height) / facts.height);
  return {std::max<uint32_t>(1, static_cast<uint32_t>(facts.width * scale)),
          std::max<uint32_t>(1, static_cast<uint32_t>(facts.height * scale))};
}

}  // namespace

bool MustConvert(const PhotoFacts& facts, PhotoBox box) {
  return facts.needsConversion || facts.width > box.width || facts.height > box.height;
}

void LogCannotConvert(const std::string& path) {
  ProcessConversionStats().failed.fetch_add(1, std::memory_order_relaxed);
  AppendLogUncounted(Format("Can Not Convert File : %s", path.c_str()));
}

std::string SourceKey(const std::string& shape, const std::string& path, SourceStamp stamp) {
  return shape + "|" + std::to_string(stamp.size) + "|" + std::to_string(stamp.mtimeNs) + "|" +
         std::to_string(stamp.ctimeNs) + "|" + std::to_string(stamp.device) + "|" +
         std::to_string(stamp.inode) + "|" + path;
}

ConversionSpool MemoryRing(int64_t capacity, int64_t keepBehind) {
  File file = File::CreateAnonymous("");
  if (!file.valid()) return {};
  return ConversionSpool::Ring(std::move(file), capacity, keepBehind);
}

uint32_t Conversions::Shared::SongCpuSeconds(uint64_t frames) const {
  const uint64_t minutes = Mp3FrameStartMs(frames) / 60000 + 1;
  return settings.limits.cpuSeconds +
         static_cast<uint32_t>(minutes * settings.limits.cpuSecondsPerSongMinute);
}

std::shared_ptr<Conversions> Conversions::Start(const ConversionSettings& settings,
                                                std::string* problem) {
  auto shared = std::make_shared<Shared>();
  shared->settings = settings;
  shared->cache = ConversionCache::Open(settings.cacheFolder, settings.cacheBytes, problem);
  shared->registry = std::make_shared<ConverterRegistry>(settings.converterProgram);
  shared->photoSlots = std::make_shared<JobSlots>(
      std::max(1, static_cast<int>(std::thread::hardware_concurrency())));
  return std::shared_ptr<Conversions>(new Conversions(std::move(shared)));
}

Conversions::~Conversions() {
  Stop();
  // The threads that ran them let go of the cache last, and may still be closing it when they
  // drop the last reference; once it is closed, the cache's folder is free for the next user
  // (a restart in the same process).
  std::future<void> ended = shared_->ended.promise.get_future();
  shared_.reset();
  ended.wait_for(std::chrono::milliseconds(kEndWaitMs));
}

void Conversions::Stop() { shared_->registry->Stop(); }

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
  // As it is, unless measured as a picture to convert, or as none at all (a receipt kept as
  // text under .jpg): that is left out.
  if (!m || (m->kind == Measurement::Kind::kPhoto && !MustConvert(m->photo, box))) {
    return {ListedLength::Kind::kAsIs, stamp.size, m.has_value()};
  }
  return PhotoLength(path, stamp, box);
}

std::unique_ptr<ConvertedStream> Conversions::OpenSong(const std::string& path) {
  return OpenSong(SourceFile{File::OpenSharedNative(path), path});
}

Conversions::Photo Conversions::OpenPhoto(const std::string& path) {
  return OpenPhoto(path, shared_->settings.photoSize);
}

Conversions::Photo Conversions::OpenPhoto(const std::string& path, PhotoBox box) {
  return OpenPhoto(SourceFile{File::OpenSharedNative(path), path}, box);
}

bool Conversions::JpegNeedsConversion(const std::string& path) {
  return JpegNeedsConversion(path, shared_->settings.photoSize);
}

bool Conversions::JpegNeedsConversion(const std::string& path, PhotoBox box) {
  bool unplayable = false;
  return JpegNeedsConversion(SourceFile{File::OpenSharedNative(path), path}, box, &unplayable);
}

}  // namespace rureza
