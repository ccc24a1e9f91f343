#include "names/adapter_names.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "names/adapter_charset.h"
#include "names/library_walk.h"
#include "names/short_name_index.h"
#include "names/short_names.h"
#include "platform/file.h"
#include "platform/memory.h"

namespace rureza {
namespace {

// Names given out are handed to the index this many at a time.
constexpr size_t kRememberBatch = 256;

// Where a media folder's short names live in the index: its path and its kind.
std::string Scope(const std::string& folder, ListingFolder kind) {
  return folder + '\0' + static_cast<char>('0' + static_cast<int>(kind));
}

std::string_view FileNameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A listed file's name without its ending (it is longer than its ending).
std::string_view StemOf(std::string_view path) {
  const std::string_view name = FileNameOf(path);
  return name.substr(0, name.size() - kShortNameEndingSize);
}

// Short-name prefixes, the tags of the files' folder made once for all of its files.
class Prefixes {
 public:
  explicit Prefixes(AdapterCharset& charset) : charset_(charset) {}

  // The tags of the folder path is in.
  const std::string& Tags(std::string_view path) {
    const std::string_view folder = path.substr(0, path.size() - FileNameOf(path).size());
    if (!known_ || folder != folder_) {
      folder_.assign(folder);
      tags_ = FolderTags(charset_, folder);
      known_ = true;
    }
    return tags_;
  }
  std::string Of(std::string_view path) {
    const std::string& tags = Tags(path);
    return tags + charset_.WritablePrefix(StemOf(path), kShortNamePrefixLimit - tags.size());
  }

 private:
  AdapterCharset& charset_;
  bool known_ = false;
  std::string folder_;
  std::string tags_;
};

// The name a walked entry is listed under when it fits as it is.
class Fitting {
 public:
  explicit Fitting(AdapterCharset& charset) : charset_(charset) {}
  // The entry's name for the adapter, or nullopt when it needs a short name.
  std::optional<std::string_view> Name(std::string_view path) {
    if (charset_.stored()) {
      if (path.size() < kListedNameLimit) return path;
      return std::nullopt;
    }
    if (!charset_.ToAdapter(path, &buffer_) || buffer_.size() >= kListedNameLimit) {
      return std::nullopt;
    }
    return std::string_view(buffer_);
  }

 private:
  AdapterCharset& charset_;
  std::string buffer_;
};

class ListingVisitor : public WalkVisitor {
 public:
  ListingVisitor(const LibraryOptions& options, std::string scope, ListingSink& sink)
      : options_(options),
        scope_(std::move(scope)),
        charset_(options.charset),
        fitting_(charset_),
        prefixes_(charset_),
        sink_(sink) {}

  bool Stopped() override { return sink_.Stopped(); }

  bool VisitFolder(const std::vector<WalkEntry>& entries, bool top) override {
    if (options_.shortNames && top) {
      // A name listed as it is that looks like a short name is given to no shortened file. Only
      // the top's names can look so: a short name holds no "/".
      for (const WalkEntry& entry : entries) {
        std::optional<std::string_view> name = fitting_.Name(entry.path);
        if (name && HasShortNameShape(*name)) given_.Add(Fnv1a64(*name));
      }
    }
    for (const WalkEntry& entry : entries) {
      if (sink_.Stopped() || !List(entry)) return false;
    }
    return true;
  }

  // Hands the names given out to the index.
  void Remember() {
    if (!remembered_.empty()) ListedShortNames().Remember(scope_, remembered_);
    remembered_.clear();
  }

 private:
  bool List(const WalkEntry& entry) {
    ListedEntry listed{{}, entry.path};
    GivenShortName given;
    if (std::optional<std::string_view> name = fitting_.Name(entry.path)) {
      listed.name = *name;
    } else if (!options_.shortNames) {
      return sink_.Refused(entry.path);
    } else {
      given = GiveShortName(prefixes_.Of(entry.path), entry.path, given_);
      if (given.name.empty()) return sink_.Refused(entry.path);
      listed.name = given.name;
      remembered_.push_back({given.name, std::string(entry.path), given.rehashes});
      if (remembered_.size() == kRememberBatch) Remember();
    }
    listed.attributesRead = entry.Attributes(&listed.attributes);
    return sink_.Listed(listed);
  }

  const LibraryOptions& options_;
  const std::string scope_;
  AdapterCharset charset_;
  Fitting fitting_;
  Prefixes prefixes_;
  ListingSink& sink_;
  GivenNames given_;
  std::vector<ShortNameIndex::Given> remembered_;
};

// Finds the file a short name stands for by walking the folder in listing order. Of the files
// that need a short name and have the name's ending, the first whose prefix is the name's and
// whose hash, or one of its next ones, has the name's digits (it was given this name); else the
// first with those and the name's prefix under the rule before folder tags (an older list); else
// the first whose own hash has the digits (the hash part alone: a file's next hashes would
// match some file or other too often in a big library).
class ShortNameSearch : public WalkVisitor {
 public:
  // REQUIRES: HasShortNameShape(name).
  ShortNameSearch(AdapterCharset& charset, std::string_view name)
      : charset_(charset),
        fitting_(charset_),
        prefixes_(charset_),
        prefix_(ShortNamePrefix(name)),
        ending_(ShortNameEnding(name)),
        hash_(ShortNameFoldedHash(name)) {}

  bool Stopped() override { return found_.has_value(); }

  bool VisitFolder(const std::vector<WalkEntry>& entries, bool) override {
    for (const WalkEntry& entry : entries) {
      if (ListedEnding(entry.path) != ending_ || fitting_.Name(entry.path)) continue;
      uint64_t hash = PathHash(entry.path);
      for (int rehashes = 0; rehashes <= kMostRehashes; ++rehashes, hash = NextRehash(hash)) {
        if (FoldedHash(hash) != hash_) continue;
        if (prefixes_.Of(entry.path) == prefix_) return Found(entry.path, rehashes);
        if (!byOldPrefix_ &&
            charset_.WritablePrefix(StemOf(entry.path), kShortNamePrefixLimit) == prefix_) {
          byOldPrefix_ = std::string(entry.path);
        }
        if (rehashes == 0 && !byHash_) byHash_ = std::string(entry.path);
      }
    }
    return true;
  }

  // The path found, and how often its hash was taken again for the name now (-1: the name is
  // not its name now).
  std::optional<std::string> Result(int* rehashes) {
    *rehashes = rehashes_;
    return found_ ? found_ : byOldPrefix_ ? byOldPrefix_ : byHash_;
  }

 private:
  bool Found(std::string_view path, int rehashes) {
    found_ = std::string(path);
    rehashes_ = rehashes;
    return false;
  }

  AdapterCharset& charset_;
  Fitting fitting_;
  Prefixes prefixes_;
  const std::string_view prefix_;
  const std::string_view ending_;
  const uint32_t hash_;
  std::optional<std::string> found_;
  int rehashes_ = -1;
  std::optional<std::string> byOldPrefix_;
  std::optional<std::string> byHash_;
};

std::string ShortNameOf(AdapterCharset& charset, std::string_view path, int rehashes) {
  return ComposeShortName(Prefixes(charset).Of(path), ShortNameHash(path, rehashes),
                          ListedEnding(path));
}

// The path the short name stands for in the media folder, or nullopt.
std::optional<std::string> FindShortName(const LibraryOptions& options, AdapterCharset& charset,
                                         ListingFolder kind, const std::string& folder,
                                         std::string_view name) {
  const std::string scope = Scope(folder, kind);
  auto verify = [&](std::string_view path, int rehashes) {
    return FileNameOf(path).size() > kShortNameEndingSize &&
           ShortNameOf(charset, path, rehashes) == name;
  };
  std::optional<std::string> found = ListedShortNames().Find(scope, name, verify);
  if (found) return found;
  ShortNameSearch search(charset, name);
  WalkLibrary(folder, kind, options.subfolders, search);
  int rehashes = 0;
  found = search.Result(&rehashes);
  if (found && rehashes >= 0) {
    ListedShortNames().Remember(scope, {{std::string(name), *found, rehashes}});
  }
  return found;
}

}  // namespace

bool ListMediaFolder(const LibraryOptions& options, ListingFolder kind, const std::string& folder,
                     ListingSink& sink) {
  bool done;
  {
    ListingVisitor visitor(options, Scope(folder, kind), sink);
    done = WalkLibrary(folder, kind, options.subfolders, visitor);
    visitor.Remember();
  }
  // What the walk of a big library held, back to the system, also while many listings run.
  ReturnFreeMemory();
  return done;
}

PlayName ResolvePlayName(const LibraryOptions& options, ListingFolder kind,
                         const std::string& folder, std::string_view name) {
  PlayName play;
  AdapterCharset charset(options.charset);
  if (!charset.FromAdapter(name, &play.shown)) play.shown.assign(name);
  play.relative = play.shown;
  if (folder.empty()) return play;
  const std::string base = NativePath(folder) + "/";
  EntryAttributes attributes;
  if (!PathAttributes(base + play.relative, &attributes)) {
    std::replace(play.relative.begin(), play.relative.end(), '\\', '/');
    if (options.shortNames && HasShortNameShape(name) &&
        !PathAttributes(base + play.relative, &attributes)) {
      if (std::optional<std::string> found = FindShortName(options, charset, kind, folder, name)) {
        play.shown = play.relative = std::move(*found);
      }
    }
  }
  play.listable = ListableName(play.relative, kind, options.subfolders);
  play.mustStayInside = play.relative.find('/') != std::string::npos;
  return play;
}

}  // namespace rureza
