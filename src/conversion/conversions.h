// Conversions: songs and photos of other formats as the adapter gets them, MP3 and baseline
// JPEG, converted on the fly by converter processes (rureza-convert) and kept in a cache. The
// name layer asks here what a source will be listed as (its converted length, exact once
// measured, estimated before) and whether a .jpg must be converted; delivery plays a song
// through a ConvertedStream and sends a photo as the file OpenPhoto gives it.
//
// A song's length is decided before its first byte: the frame count follows from the
// sample count its header states (mp3_layout.h), and every conversion of it writes exactly
// that many frames. Its first play starts one conversion from the start, which writes the
// cache entry while the plays stream what is written (plays of the same song share it); a
// seek far beyond what is written starts a conversion of the play's own at that frame. A
// converter that crashes, hangs (nothing heard for the watchdog's time) or runs out of memory
// ends the plays that need what it has not written, with one log line each,
// "Can Not Convert File : <path>"; nothing else is affected.
//
// Measurements go through one converter process that stays up for the next ones (a batch of
// thousands of songs needs no process start each), and are kept in the store, so later
// listings find them in memory.
// Thread safety: every method may be called from any thread, by any number of them at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "conversion/conversion_settings.h"
#include "conversion/converted_stream.h"
#include "conversion/media_store.h"
#include "platform/file.h"

namespace rureza {

class ConversionCache;

struct ListedLength {
  // kAsIs: a .jpg sent as it is (its file's length); kUnplayable: it cannot be played.
  enum class Kind { kExact, kEstimated, kUnplayable, kAsIs };
  Kind kind = Kind::kEstimated;
  int64_t length = 0;     // the bytes a play of it sends (an estimate for kEstimated)
  bool measured = false;  // its header was read: nothing for the background pass to do
};

class Conversions {
 public:
  // *problem: empty, or one log line's worth on why the cache is not kept on disk.
  static std::shared_ptr<Conversions> Start(const ConversionSettings& settings,
                                            std::string* problem);
  // Stops, then waits (up to 5 s) until every converter is gone and the cache's folder free
  // (streams still open keep it until they end).
  ~Conversions();
  Conversions(const Conversions&) = delete;
  Conversions& operator=(const Conversions&) = delete;

  // Ends every converter process; from now on every conversion fails at once.
  void Stop();

  const ConversionSettings& settings() const;

  // --- for the listing: memory lookups only, never a file opened
  // A song listed as MP3: its source's path and stamp, and its ending (without the dot).
  ListedLength SongLength(const std::string& path, SourceStamp stamp,
                          std::string_view ending) const;
  // A photo listed as JPEG, fitted to box (the settings' photo size when none is given).
  ListedLength PhotoLength(const std::string& path, SourceStamp stamp) const;
  ListedLength PhotoLength(const std::string& path, SourceStamp stamp, PhotoBox box) const;
  // A .jpg: kAsIs unless it was measured and must be converted for box (then as PhotoLength).
  ListedLength JpegLength(const std::string& path, SourceStamp stamp, PhotoBox box) const;

  // Measures every source not yet measured (songs, and photos that are converted or checked),
  // through one converter process, reading headers only; remembers them. Stops early when
  // stopped() says so. Returns how many were measured.
  size_t Measure(const std::vector<std::string>& songs, const std::vector<std::string>& photos,
                 const std::function<bool()>& stopped);
  // Measure, on a thread of its own (StartThread) that ends when nothing is left to measure,
  // when stopped() says so (the run that listed them stops) or with Stop(). Sources handed over
  // while it runs join its batch (each once); beyond kMostWaiting waiting they are left for a
  // later listing to hand over again.
  static constexpr size_t kMostWaiting = 200000;
  void MeasureSoon(std::vector<std::string> songs, std::vector<std::string> photos,
                   std::function<bool()> stopped);

  // --- for a play
  // The song at path as MP3, its length known; null when it cannot be played (logged).
  std::unique_ptr<ConvertedStream> OpenSong(const std::string& path);

  struct Photo {
    File file;  // invalid: it cannot be shown (logged); else read-only, at the JPEG's start
    int64_t length = 0;
  };
  // The photo at path as baseline JPEG that fits box (the settings' photo size when none).
  Photo OpenPhoto(const std::string& path);
  Photo OpenPhoto(const std::string& path, PhotoBox box);

  // Whether the .jpg at path must be converted before the adapter can show it in box (its
  // header is read now if it was not measured yet). A file whose header cannot be read goes
  // as it is.
  bool JpegNeedsConversion(const std::string& path);
  bool JpegNeedsConversion(const std::string& path, PhotoBox box);

  struct Shared;

 private:
  explicit Conversions(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  std::shared_ptr<Shared> shared_;
};

}  // namespace rureza
