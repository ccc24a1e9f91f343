// What the conversions of one Conversions object share, for the files that implement it
// (conversions.cpp, song_conversions.cpp, photo_conversions.cpp, video_conversions.cpp,
// measurements.cpp). Every thread that works for them (a job's, the background pass's) holds the
// Shared, so it outlives the object that started them.
// Thread safety: as each field's comment says.
#pragma once

#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "conversion/conversion_cache.h"
#include "conversion/conversion_job.h"
#include "conversion/conversions.h"
#include "conversion/converter_registry.h"

namespace rureza {

// Whether a photo with these facts must be converted before the adapter can show it in box.
bool MustConvert(const PhotoFacts& facts, PhotoBox box);
// "Can Not Convert File : <path>", uncounted.
void LogCannotConvert(const std::string& path);
// A cache entry's key: how it was made and which version of which source.
std::string SourceKey(const std::string& shape, const std::string& path, SourceStamp stamp);
// A file without a name in memory, for a ring of capacity bytes.
ConversionSpool MemoryRing(int64_t capacity, int64_t keepBehind);

struct Conversions::Shared {
  // Declared first, so destroyed last: once it is set, the cache's store is closed and its
  // folder's lock let go, which the last thread to hold the Shared does after the others end.
  struct Ended {
    std::promise<void> promise;
    ~Ended() { promise.set_value(); }
  } ended;
  ConversionSettings settings;
  std::unique_ptr<ConversionCache> cache;
  std::shared_ptr<ConverterRegistry> registry;

  // Songs: the conversions from a song's start, by cache key.
  struct Writer {
    std::shared_ptr<ConversionJob> job;
    uint64_t order = 0;       // when it started
    bool fillsCache = false;  // its bytes go to a cache part
  };
  std::mutex writersMutex;
  std::map<std::string, std::shared_ptr<Writer>> writers;  // guarded by writersMutex
  uint64_t writersStarted = 0;                             // guarded by writersMutex
  // Lets writers nobody plays any more go: all but kMostUnwatchedWriters of those that fill the
  // cache (the oldest first), and every one that does not.
  void LetUnwatchedWritersGo();

  // Photos: the conversions under way, by cache key; at most as many as there are processors.
  std::mutex photosMutex;
  std::map<std::string, std::shared_ptr<ConversionJob>> photos;  // guarded by photosMutex
  std::shared_ptr<JobSlots> photoSlots;
  bool prefetching = false;                                          // guarded by photosMutex
  std::vector<std::function<std::vector<SourceFile>()>> prefetches;  // guarded by photosMutex
  // The photo's conversion under way, or a new one (null when none can be started).
  static std::shared_ptr<ConversionJob> PhotoJob(const std::shared_ptr<Shared>& shared,
                                                 const SourceFile& source, SourceStamp stamp,
                                                 PhotoBox box);

  // Videos: the conversions from a video's start that its plays share, by cache key (defined
  // in video_conversions.cpp).
  struct VideoWriter;
  std::mutex videosMutex;
  std::map<std::string, std::shared_ptr<VideoWriter>> videoWriters;  // guarded by videosMutex

  // Measuring: one converter for a batch, ended with it.
  std::mutex proberMutex;
  ConverterRegistry::Process prober{nullptr, {}};  // guarded by proberMutex
  int batches = 0;                                 // guarded by proberMutex
  // The background pass (MeasureSoon): the sources waiting, each list as in ToMeasure.
  std::mutex waitingMutex;
  std::set<std::string> waiting[4];      // guarded by waitingMutex
  std::function<bool()> waitingStopped;  // guarded by waitingMutex
  bool measuring = false;                // guarded by waitingMutex

  // What a source is asked as.
  enum class Probe { kSong, kPhoto, kVideo };
  // Asks the prober about the open source; nullopt when there is no converter to ask.
  std::optional<Measurement> MeasureOne(const std::string& path, const File& file, Probe probe);
  size_t MeasureAll(const ToMeasure& sources, const std::function<bool()>& stopped);
  // The measurement of the open source as it is now (stamp), taken now when not yet known; one
  // found unplayable is logged when logUnplayable (it is left out of the listing).
  std::optional<Measurement> Measured(const std::string& path, const File& file, SourceStamp stamp,
                                      Probe probe, bool logUnplayable = true);
  uint32_t SongCpuSeconds(uint64_t frames) const;
};

}  // namespace rureza
