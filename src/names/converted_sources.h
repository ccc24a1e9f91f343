// ConvertedSources: which source a converted name that is no file stands for ("pic.jpg" for
// "pic.heic"), found without reading its folder on every play. What a read of a folder found
// is kept with the folder's stamp and holds while the stamp is the same, so it is exactly what
// reading the folder again would find. A folder changed in the last moments is read every time:
// the file system's clock may not have moved on since, and a change to come could leave the
// stamp as it is. The process keeps one (KnownConvertedSources()).
// Bounded: it counts what it holds and never holds more than kBudgetBytes; a folder that would
// take it past that makes it forget everything (a folder larger than that is read every time).
// Thread safety: every method may be called from any thread (one mutex).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "names/media_endings.h"
#include "platform/directory.h"

namespace rureza {

class ConvertedSources {
 public:
  static constexpr size_t kBudgetBytes = size_t{4} << 20;
  // A folder's stamp is trusted once its times are this far behind the wall clock (the kernel
  // takes files' times from a clock that moves in ticks of a few milliseconds), or, on a file
  // system that keeps whole seconds only (FAT keeps two), this far.
  static constexpr int64_t kSettledNs = 100'000'000;
  static constexpr int64_t kCoarseSettledNs = 3'000'000'000;

  // The name of the source the name stem + kind's converted ending stands for in the folder (a
  // path of this system, "/" behind it): of the files there named stem and an ending kind
  // converts (any case), the least in bytes; nullopt when there is none. In the video folder,
  // a file of stem with an ending of the folder's own is such a source when mustConvert says so
  // of its name (asked of those, in byte order, until one is).
  using MustConvert = std::function<bool(std::string_view name)>;
  std::optional<std::string> Find(const std::string& nativeFolder, ListingFolder kind,
                                  std::string_view stem, const MustConvert& mustConvert = {});

  void Clear();
  size_t BytesUsed() const;

 private:
  struct Source {
    uint32_t offset;  // of its name in Folder::names
    uint16_t stemLength;
    uint16_t nameLength;
  };
  struct Folder {
    FolderStamp stamp;
    std::string names;
    // By their stems, then names: the least converted by its ending for each stem, and before
    // it those of the folder's own endings that may have to be converted (video).
    std::vector<Source> sources;
    size_t bytes = 0;  // what it takes, its key included
  };
  // What a read of the folder finds: the answer, and the folder to keep (none: not to be kept).
  std::optional<std::string> Read(const std::string& nativeFolder, ListingFolder kind,
                                  std::string_view stem, const MustConvert& mustConvert,
                                  std::optional<Folder>* keep) const;

  mutable std::mutex mutex_;
  std::unordered_map<std::string, Folder> folders_;  // by kind and path; guarded by mutex_
  size_t bytes_ = 0;                                 // guarded by mutex_
};

// The process's.
ConvertedSources& KnownConvertedSources();

}  // namespace rureza
