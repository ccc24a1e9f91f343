#include "names/converted_sources.h"

#include <algorithm>

#include "platform/clock.h"

namespace rureza {
namespace {

// What a kept folder costs besides its names and sources: its key's node and its share of the
// buckets.
constexpr size_t kFolderOverhead = 128;
constexpr int64_t kNsPerSecond = 1'000'000'000;

// True when no change to come can leave the folder's stamp as it is.
bool Settled(const FolderStamp& stamp) {
  const bool wholeSeconds = stamp.mtimeNs % kNsPerSecond == 0 && stamp.ctimeNs % kNsPerSecond == 0;
  const int64_t settled = WallClockNs() - (wholeSeconds ? ConvertedSources::kCoarseSettledNs
                                                        : ConvertedSources::kSettledNs);
  return stamp.mtimeNs < settled && stamp.ctimeNs < settled;
}

std::string KeyOf(const std::string& nativeFolder, ListingFolder kind) {
  return static_cast<char>('0' + static_cast<int>(kind)) + nativeFolder;
}

// A name that may stand for a converted name of its stem: a source by its ending, or in the
// video folder one of the folder's own endings (*own), which a header may make one.
bool Candidate(ListingFolder kind, std::string_view name, MediaEnding* ending, bool* own) {
  *ending = EndingOf(kind, name, /*convert=*/true);
  *own = ending->size != 0 && !ending->converted;
  return ending->converted || (*own && kind == ListingFolder::kVideo);
}

}  // namespace

ConvertedSources& KnownConvertedSources() {
  static ConvertedSources* sources = new ConvertedSources;  // never destroyed: threads may
                                                            // outlive main
  return *sources;
}

std::optional<std::string> ConvertedSources::Find(const std::string& nativeFolder,
                                                  ListingFolder kind, std::string_view stem,
                                                  const MustConvert& mustConvert) {
  FolderStamp stamp;
  if (!FolderStampOf(nativeFolder, &stamp)) return std::nullopt;
  const std::string key = KeyOf(nativeFolder, kind);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = folders_.find(key);
    if (found != folders_.end() && found->second.stamp == stamp) {
      const Folder& folder = found->second;
      auto stemOf = [&](const Source& source) {
        return std::string_view(folder.names).substr(source.offset, source.stemLength);
      };
      auto at = std::lower_bound(
          folder.sources.begin(), folder.sources.end(), stem,
          [&](const Source& source, std::string_view wanted) { return stemOf(source) < wanted; });
      for (; at != folder.sources.end() && stemOf(*at) == stem; ++at) {
        const std::string name = folder.names.substr(at->offset, at->nameLength);
        MediaEnding ending;
        bool own;
        Candidate(kind, name, &ending, &own);
        if (!own || (mustConvert && mustConvert(name))) return name;
      }
      return std::nullopt;
    }
  }
  std::optional<Folder> keep;
  std::optional<std::string> source = Read(nativeFolder, kind, stem, mustConvert, &keep);
  if (keep) {
    keep->bytes += key.capacity();
    std::lock_guard<std::mutex> lock(mutex_);
    auto held = folders_.find(key);
    if (held != folders_.end()) {
      bytes_ -= held->second.bytes;
      folders_.erase(held);
    }
    if (keep->bytes <= kBudgetBytes) {
      if (bytes_ + keep->bytes > kBudgetBytes) {
        std::unordered_map<std::string, Folder>().swap(folders_);
        bytes_ = 0;
      }
      bytes_ += keep->bytes;
      folders_.emplace(key, std::move(*keep));
    }
  }
  return source;
}

std::optional<std::string> ConvertedSources::Read(const std::string& nativeFolder,
                                                  ListingFolder kind, std::string_view stem,
                                                  const MustConvert& mustConvert,
                                                  std::optional<Folder>* keep) const {
  DirectoryWalk dir;
  if (!dir.OpenNative(nativeFolder)) return std::nullopt;
  Folder folder;
  // The stamp before the first entry is read: a change meanwhile makes it stale at once.
  bool keeping = dir.Stamp(&folder.stamp) && Settled(folder.stamp);
  std::optional<std::string> first;
  EntryType type = EntryType::kUnknown;
  while (const char* entry = dir.Next(&type)) {
    const std::string_view name(entry);
    MediaEnding ending;
    bool own;
    if (!Candidate(kind, name, &ending, &own)) continue;
    const std::string_view itsStem = name.substr(0, name.size() - ending.size);
    // A link or an entry of no recorded type is looked at for the name asked only, and what
    // it leads to may change without the folder's stamp: such a folder is not kept.
    bool file = type == EntryType::kFile;
    if (type == EntryType::kUnknown || type == EntryType::kLink) {
      keeping = false;
      file = itsStem == stem && (!first || name < *first) &&
             dir.TypeOf(entry, /*followLink=*/true) == EntryType::kFile;
    }
    if (!file) continue;
    if (itsStem == stem && (!first || name < *first) &&
        (!own || (mustConvert && mustConvert(name)))) {
      first = std::string(name);
    }
    if (keeping) {
      if (name.size() > UINT16_MAX || folder.names.size() > UINT32_MAX - name.size()) {
        keeping = false;
        continue;
      }
      folder.sources.push_back(Source{static_cast<uint32_t>(folder.names.size()),
                                      static_cast<uint16_t>(itsStem.size()),
                                      static_cast<uint16_t>(name.size())});
      folder.names.append(name);
    }
  }
  if (keeping) {
    auto nameOf = [&](const Source& source) {
      return std::string_view(folder.names).substr(source.offset, source.nameLength);
    };
    auto stemOf = [&](const Source& source) { return nameOf(source).substr(0, source.stemLength); };
    // Of the sources of one stem, the least in bytes stands for it; files of the folder's own
    // endings before it may, once their headers are read.
    std::sort(folder.sources.begin(), folder.sources.end(), [&](const Source& a, const Source& b) {
      return stemOf(a) != stemOf(b) ? stemOf(a) < stemOf(b) : nameOf(a) < nameOf(b);
    });
    auto byEnding = [&](const Source& source) {
      return EndingOf(kind, nameOf(source), /*convert=*/true).converted;
    };
    std::vector<Source> kept;
    for (const Source& source : folder.sources) {
      // Past the stem's first source by its ending, the rest of the stem is of no use.
      if (!kept.empty() && stemOf(kept.back()) == stemOf(source) && byEnding(kept.back())) {
        continue;
      }
      kept.push_back(source);
    }
    folder.sources.swap(kept);
    folder.sources.shrink_to_fit();
    folder.bytes =
        kFolderOverhead + folder.names.capacity() + folder.sources.capacity() * sizeof(Source);
    *keep = std::move(folder);
  }
  return first;
}

void ConvertedSources::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::unordered_map<std::string, Folder>().swap(folders_);
  bytes_ = 0;
}

size_t ConvertedSources::BytesUsed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

}  // namespace rureza
