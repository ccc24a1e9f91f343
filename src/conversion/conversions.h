// Conversions: songs, photos and videos of other formats as the adapter gets them, MP3, baseline
// JPEG and MPEG-2 program streams, converted on the fly by converter processes (rureza-convert)
// and kept in a cache. The name layer asks here what a source will be listed as (its converted
// length, exact once measured, estimated before) and whether a .jpg or a video the adapter
// plays as it is must be converted; delivery plays a song or a video through a ConvertedStream
// and sends a photo as the file OpenPhoto gives it.
//
// Delivery hands over the source it opened and checked (a SourceFile); a converter reads that
// open file, never its path. A source is known by its path and stamp (device, inode, size,
// modification and change time), so any replacement is converted afresh.
//
// A song's length is decided before its first byte: the frame count follows from the sample
// count its file holds (mp3_layout.h), and every conversion of it writes exactly that many
// frames. Its first play starts one conversion from the start (a ConversionJob, on a thread of
// its own), which writes the cache entry while the plays stream what is written (plays of the
// same song share it, and it goes on for as long as any of them plays; one that fills the
// cache finishes it, up to kMostUnwatchedWriters of them); a seek far beyond what is written
// starts a conversion of the play's own at that frame. Where the cache has no room within its
// bound, a conversion runs into a ring of kSongRingBytes in memory. A converter that dies is
// started again once (conversion_job.h); one that fails, hangs or dies twice ends the plays
// that need what it has not written, with one log line each, "Can Not Convert File : <path>";
// nothing else is affected.
//
// A video's length, and its last 32,768 bytes, follow from its duration and the TV standard
// (mpeg_layout.h): they are known before its first byte. Its plays share one conversion from
// its start, which fills a cache part when the film fits the cache, else a ring that keeps the
// last minutes played for backward steps (video_conversions.cpp says how much, and where); it
// ends when no play reads it any more.
//
// A photo is converted once however many plays ask for it at once (they wait for the one
// conversion), at most as many at a time as the machine has processors; the next photos of a
// slideshow can be converted ahead, in the background and at the lowest priority.
//
// Measurements go through one converter process that stays up for a batch (thousands of songs
// need no process start each) and ends with it, and are kept in the store, so later listings
// find them in memory. A source found unplayable gets one log line with its path and why, as
// it is left out of the listing.
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

// The length of a video's stream at standard before its duration is known: the duration
// guessed from the source's size at a film's usual bit rate.
int64_t EstimatedMpegLength(int64_t sourceBytes, VideoStandard standard);

// A source as delivery opened and checked it: the open file (read-only) and its path (for the
// cache's keys, the store and log lines; never opened again).
struct SourceFile {
  File file;
  std::string path;
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

  // A video listed as MPEG (converted by its ending, or a file the adapter plays as it is that
  // must be converted): the length of its stream at standard, exact once measured, estimated
  // from its size before; kUnplayable when it cannot be played.
  ListedLength VideoLength(const std::string& path, SourceStamp stamp,
                           VideoStandard standard) const;
  // A video the adapter may play as it is (.avi .mpg .vob .dat): whether it was measured and
  // must be converted. One not measured yet, or whose header cannot be read, stays as it is.
  bool VideoMustConvert(const std::string& path, SourceStamp stamp, bool* measured) const;

  // Sources whose headers are to be read: songs, photos (converted, or .jpg checked), videos
  // converted by their endings, and videos the adapter may play as they are (only checked: one
  // that cannot be read is not left out, so it gets no log line).
  struct ToMeasure {
    std::vector<std::string> songs, photos, videos, checkedVideos;
    bool empty() const {
      return songs.empty() && photos.empty() && videos.empty() && checkedVideos.empty();
    }
  };
  // Measures every source not yet measured through one converter process, reading headers
  // only; remembers them. Stops early when stopped() says so. Returns how many were measured.
  size_t Measure(const ToMeasure& sources, const std::function<bool()>& stopped);
  size_t Measure(const std::vector<std::string>& songs, const std::vector<std::string>& photos,
                 const std::function<bool()>& stopped) {
    return Measure(ToMeasure{songs, photos, {}, {}}, stopped);
  }
  // Measure, on a thread of its own (StartThread) that ends when nothing is left to measure,
  // when stopped() says so (the run that listed them stops) or with Stop(). Sources handed over
  // while it runs join its batch (each once); beyond kMostWaiting waiting they are left for a
  // later listing to hand over again.
  static constexpr size_t kMostWaiting = 200000;
  void MeasureSoon(ToMeasure sources, std::function<bool()> stopped);

  // --- for a play
  // A song's conversion from its start writes into the cache while plays stream it; where the
  // cache has no room, into a ring of this many bytes in memory (two minutes of the song).
  static constexpr int64_t kSongRingBytes = 4 << 20;
  // Conversions nobody plays any more that fill the cache go on, but only this many.
  static constexpr size_t kMostUnwatchedWriters = 2;

  // The song as MP3, its length known; null when it cannot be played (logged).
  std::unique_ptr<ConvertedStream> OpenSong(SourceFile source);
  std::unique_ptr<ConvertedStream> OpenSong(const std::string& path);  // opens it first

  // The video as the MPEG program stream of its plan for wanted (its standard, subtitles, code
  // page and language; the duration is the measured one), its length and tail known at once;
  // null when it cannot be played (logged). subtitles: a subtitle file beside it, or invalid.
  // The play ends (kFailed, logged) when its source is deleted or changed: when the path no
  // longer names the file opened, or that file's size, modification or change time moved.
  std::unique_ptr<ConvertedStream> OpenVideo(SourceFile source, SourceFile subtitles,
                                             const VideoRequest& wanted);
  // Whether the file the adapter may play as it is must be converted (its header is read now if
  // it was not measured yet).
  bool VideoNeedsConversion(const SourceFile& source);

  struct Photo {
    File file;  // invalid: it cannot be shown (logged); else read-only, at the JPEG's start
    int64_t length = 0;
  };
  // The photo as baseline JPEG that fits box (the settings' photo size when none).
  Photo OpenPhoto(SourceFile source, PhotoBox box);
  Photo OpenPhoto(const std::string& path);  // opens it first
  Photo OpenPhoto(const std::string& path, PhotoBox box);

  // Whether the .jpg must be converted before the adapter can show it in box (its header is
  // read now if it was not measured yet). One whose header cannot be read is no picture: it is
  // not sent (*unplayable).
  bool JpegNeedsConversion(const SourceFile& source, PhotoBox box, bool* unplayable);
  bool JpegNeedsConversion(const std::string& path);  // opens it first
  bool JpegNeedsConversion(const std::string& path, PhotoBox box);

  // Converts the photos next() names into the cache, one at a time, on a thread of its own, for
  // a slideshow that has shown the photo before them. next is called on that thread. A play
  // that asks for one meanwhile shares its conversion.
  void PrefetchPhotos(std::function<std::vector<SourceFile>()> next, PhotoBox box);

  struct Shared;

 private:
  explicit Conversions(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  std::shared_ptr<Shared> shared_;
};

}  // namespace rureza
