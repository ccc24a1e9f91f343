// How songs, photos and videos of other formats are converted, and where the results are kept:
// the photo size, the cache's folder and bound, where a video too large for the cache is kept
// while it plays, the converter program and the limits it runs under.
// Thread safety: values and pure functions (DefaultCacheFolder reads the environment).
#pragma once

#include <cstdint>
#include <string>

#include "conversion/converter_protocol.h"

namespace rureza {

// What one converter process may take. Memory counts what it writes to (heap, thread stacks,
// the libraries' data), not the libraries' code; 0: no limit (the sanitizers' builds reserve
// terabytes of address space and cannot run under one).
struct ConverterLimits {
  uint64_t songMemoryBytes = 0;
  uint64_t photoMemoryBytes = 0;
  uint64_t videoMemoryBytes = 0;
  // Processor time of one process: a photo's, a batch of measurements', and a song's on top of
  // cpuSecondsPerSongMinute for every minute of the song.
  uint32_t cpuSeconds = 0;
  uint32_t cpuSecondsPerSongMinute = 0;
  uint32_t cpuSecondsPerVideoMinute = 0;  // likewise for a video
  // A converter that says nothing for this long while it is waited for is taken to hang.
  uint32_t watchdogMs = 0;
};

ConverterLimits DefaultConverterLimits();

// The cache's bound unless the operator gives one: a few hundred albums.
inline constexpr uint64_t kDefaultCacheBytes = uint64_t{2} << 30;

// Where a video that does not fit the cache is kept while it plays: a ring that holds what was
// played for backward steps, behindSeconds of the stream behind the slowest play and
// aheadSeconds converted ahead of it, on the disk beside the cache (counted against its bound)
// where there is room, else memoryBytes in memory (three quarters of it behind).
struct VideoSpill {
  uint32_t behindSeconds = 600;
  uint32_t aheadSeconds = 120;
  int64_t memoryBytes = int64_t{64} << 20;
};

struct ConversionSettings {
  PhotoBox photoSize{1920, 1080};
  uint64_t cacheBytes = kDefaultCacheBytes;
  // The cache and the store of measurements; empty: nothing is kept on disk.
  std::string cacheFolder;
  VideoSpill videoSpill;
  std::string converterProgram;
  ConverterLimits limits = DefaultConverterLimits();
};

// The service's cache directory ($CACHE_DIRECTORY, as systemd's CacheDirectory= sets it), else
// $XDG_CACHE_HOME/rureza, else ~/.cache/rureza; empty when none can be named.
std::string DefaultCacheFolder();

// The converter program: rureza-convert beside the running program (a build tree), else where
// the server package installs it.
std::string DefaultConverterProgram();

// What a front-end runs with: the default cache folder and converter program, cacheBytes.
ConversionSettings FrontEndConversionSettings(uint64_t cacheBytes);

// The part of a cache entry's key that says how it was made: two entries of one source differ
// when these differ.
std::string SongShapeKey();
std::string PhotoShapeKey(PhotoBox box);
// A video's, for the request's standard, subtitles, code page and language, and the subtitle
// file beside it (its path and stamp; empty: none).
std::string VideoShapeKey(const VideoRequest& request, const std::string& subtitles);

}  // namespace rureza
