#include "names/adapter_names.h"

#include <algorithm>
#include <array>
#include <optional>
#include <unordered_set>
#include <vector>

#include "names/adapter_charset.h"
#include "names/converted_sources.h"
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

// A listed file's name without its ending of endingSize bytes (it is longer than its ending).
std::string_view StemOf(std::string_view path, size_t endingSize) {
  const std::string_view name = FileNameOf(path);
  return name.substr(0, name.size() - endingSize);
}

// Short-name prefixes: the tags of the folders a walked folder's files are in, made once for
// all of its files, those of folders side by side once for all of them (at most the tagged
// folders' sets of siblings are held).
class Prefixes {
 public:
  explicit Prefixes(AdapterCharset& charset) : charset_(charset) {}

  std::string Of(std::string_view path, size_t endingSize, const std::vector<WalkFolder>& folders) {
    return WithTitle(Tags(folders), path, endingSize);
  }
  // By the rule before tags minded the folders beside them: the tags of the folder path is in.
  std::string EarlierOf(std::string_view path, size_t endingSize) {
    const std::string_view folder = path.substr(0, path.size() - FileNameOf(path).size());
    if (!earlierKnown_ || folder != earlierFolder_) {
      earlierFolder_.assign(folder);
      earlierTags_ = FolderTags(charset_, folder);
      earlierKnown_ = true;
    }
    return WithTitle(earlierTags_, path, endingSize);
  }

 private:
  struct Siblings {
    uint64_t serial;
    std::vector<std::string> tags;
  };
  // The tagged folders' serials and places.
  using Key = std::array<std::pair<uint64_t, size_t>, kTaggedFolders>;

  const std::string& Tags(const std::vector<WalkFolder>& folders) {
    const size_t tagged = std::min<size_t>(folders.size(), kTaggedFolders);
    Key key{};
    for (size_t i = 0; i < tagged; ++i) key[i] = {folders[i].serial, folders[i].place};
    if (known_ && tagged == tagged_ && key == key_) return tags_;
    std::erase_if(siblings_, [&](const Siblings& held) {
      return std::none_of(key.begin(), key.begin() + static_cast<ptrdiff_t>(tagged),
                          [&](const auto& k) { return k.first == held.serial; });
    });
    tags_.clear();
    for (size_t i = tagged; i-- > 0;) tags_.append(TagsBeside(folders[i])[folders[i].place]) += '-';
    key_ = key;
    tagged_ = tagged;
    known_ = true;
    return tags_;
  }
  const std::vector<std::string>& TagsBeside(const WalkFolder& folder) {
    for (const Siblings& held : siblings_) {
      if (held.serial == folder.serial) return held.tags;
    }
    siblings_.push_back(Siblings{folder.serial, SiblingTags(charset_, *folder.siblings)});
    return siblings_.back().tags;
  }
  std::string WithTitle(const std::string& tags, std::string_view path, size_t endingSize) {
    const size_t room =
        tags.size() < kShortNamePrefixLimit ? kShortNamePrefixLimit - tags.size() : 0;
    return tags + charset_.WritablePrefix(StemOf(path, endingSize), room);
  }

  AdapterCharset& charset_;
  bool known_ = false;
  Key key_{};
  size_t tagged_ = 0;
  std::string tags_;
  std::vector<Siblings> siblings_;
  bool earlierKnown_ = false;
  std::string earlierFolder_;
  std::string earlierTags_;
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

// The names a folder's entries take as they are: each one's path with the ending it is listed
// under, and whether another entry has that name first: a converted source yields it to a file
// listed as it is and to a source before it in listing order (the walk puts them in that order).
class FolderNames {
 public:
  void Read(const std::vector<WalkEntry>& entries) {
    listed_.clear();
    taken_.assign(entries.size(), false);
    size_t bytes = 0;
    for (const WalkEntry& entry : entries) {
      if (entry.ending.converted) bytes += entry.path.size() + entry.ending.listed.size();
    }
    if (bytes == 0) {
      for (const WalkEntry& entry : entries) listed_.push_back(entry.path);
      return;
    }
    arena_.clear();
    arena_.reserve(bytes);  // the views into it stay valid
    for (const WalkEntry& entry : entries) {
      if (!entry.ending.converted) {
        listed_.push_back(entry.path);
        continue;
      }
      const size_t start = arena_.size();
      arena_.append(entry.path.substr(0, entry.path.size() - entry.ending.size))
          .append(entry.ending.listed);
      listed_.push_back(std::string_view(arena_).substr(start));
    }
    std::unordered_set<std::string_view> names;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (!entries[i].ending.converted) names.insert(listed_[i]);
    }
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].ending.converted) taken_[i] = !names.insert(listed_[i]).second;
    }
  }
  std::string_view Listed(size_t i) const { return listed_[i]; }
  bool Taken(size_t i) const { return taken_[i]; }

 private:
  std::string arena_;
  std::vector<std::string_view> listed_;
  std::vector<bool> taken_;
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

  bool VisitFolder(const std::vector<WalkEntry>& entries,
                   const std::vector<WalkFolder>& folders) override {
    names_.Read(entries);
    if (options_.shortNames && folders.empty()) {
      // A name listed as it is that looks like a short name is given to no shortened file. Only
      // the top's names can look so: a short name holds no "/".
      for (size_t i = 0; i < entries.size(); ++i) {
        std::optional<std::string_view> name =
            names_.Taken(i) ? std::nullopt : fitting_.Name(names_.Listed(i));
        if (name && HasShortNameShape(*name)) given_.Add(Fnv1a64(*name));
      }
    }
    for (size_t i = 0; i < entries.size(); ++i) {
      if (sink_.Stopped() || !List(entries[i], i, folders)) return false;
    }
    return true;
  }

  // Hands the names given out to the index.
  void Remember() {
    if (!remembered_.empty()) ListedShortNames().Remember(scope_, remembered_);
    remembered_.clear();
  }

 private:
  bool List(const WalkEntry& entry, size_t i, const std::vector<WalkFolder>& folders) {
    ListedEntry listed{{}, entry.path, entry.ending};
    GivenShortName given;
    std::optional<std::string_view> name =
        names_.Taken(i) ? std::nullopt : fitting_.Name(names_.Listed(i));
    if (name) {
      listed.name = *name;
    } else if (!options_.shortNames) {
      return sink_.Refused(entry.path);
    } else {
      given = GiveShortName(prefixes_.Of(entry.path, entry.ending.size, folders), entry.path,
                            entry.ending.listed, given_);
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
  FolderNames names_;
  ListingSink& sink_;
  GivenNames given_;
  std::vector<ShortNameIndex::Given> remembered_;
};

// Finds the file a short name stands for by walking the folder in listing order. Of the files
// that need a short name and have the name's ending, the first whose prefix is the name's and
// whose hash, or one of its next ones, has the name's digits (it was given this name); else the
// first with those and the name's prefix under the rule before tags minded the folders beside
// them; else under the rule before folder tags (an older list); else the first whose own hash
// has the digits (the hash part alone: a file's next hashes would match some file or other too
// often in a big library).
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

  bool VisitFolder(const std::vector<WalkEntry>& entries,
                   const std::vector<WalkFolder>& folders) override {
    names_.Read(entries);
    for (size_t i = 0; i < entries.size(); ++i) {
      const WalkEntry& entry = entries[i];
      if (entry.ending.listed != ending_ || (!names_.Taken(i) && fitting_.Name(names_.Listed(i)))) {
        continue;
      }
      const size_t endingSize = entry.ending.size;
      uint64_t hash = PathHash(entry.path);
      for (int rehashes = 0; rehashes <= kMostRehashes; ++rehashes, hash = NextRehash(hash)) {
        if (FoldedHash(hash) != hash_) continue;
        if (prefixes_.Of(entry.path, endingSize, folders) == prefix_) {
          found_ = {std::string(entry.path), rehashes};
          return false;
        }
        if (!byEarlierTags_ && prefixes_.EarlierOf(entry.path, endingSize) == prefix_) {
          byEarlierTags_ = {std::string(entry.path), rehashes};
        }
        if (!byOldPrefix_ && charset_.WritablePrefix(StemOf(entry.path, endingSize),
                                                     kShortNamePrefixLimit) == prefix_) {
          byOldPrefix_ = std::string(entry.path);
        }
        if (rehashes == 0 && !byHash_) byHash_ = std::string(entry.path);
      }
    }
    return true;
  }

  // The path found, and how often its hash was taken again for the name (-1: it is not a name
  // the file was given with folder tags).
  std::optional<std::string> Result(int* rehashes) {
    *rehashes = -1;
    for (std::optional<Found>* tagged : {&found_, &byEarlierTags_}) {
      if (*tagged) {
        *rehashes = (*tagged)->rehashes;
        return (*tagged)->path;
      }
    }
    return byOldPrefix_ ? byOldPrefix_ : byHash_;
  }

 private:
  struct Found {
    std::string path;
    int rehashes;
  };

  AdapterCharset& charset_;
  Fitting fitting_;
  Prefixes prefixes_;
  FolderNames names_;
  const std::string_view prefix_;
  const std::string_view ending_;
  const uint32_t hash_;
  std::optional<Found> found_;
  std::optional<Found> byEarlierTags_;
  std::optional<std::string> byOldPrefix_;
  std::optional<std::string> byHash_;
};

// True when name is the short name path makes the rehashes-th time, whatever its tags say (they
// depend on the folders beside the file's, which are not read for this): a tag and a "-" for
// each folder tagged, then path's title, hash and ending.
bool IsShortNameOf(AdapterCharset& charset, ListingFolder kind, bool convert, std::string_view path,
                   int rehashes, std::string_view name, const std::string& base,
                   const OwnEndingCheck* check) {
  MediaEnding ending = EndingOf(kind, path, convert);
  EntryAttributes attributes;
  if (convert && check && ending.size != 0 && !ending.converted &&
      PathAttributes(base + std::string(path), &attributes) &&
      check->MustConvert(path, attributes)) {
    ending = {ending.size, true, ConvertedEnding(kind)};
  }
  if (ending.size == 0 || FileNameOf(path).size() <= ending.size || !HasShortNameShape(name)) {
    return false;
  }
  const auto folders =
      std::min<ptrdiff_t>(std::count(path.begin(), path.end(), '/'), kTaggedFolders);
  const std::string_view prefix = ShortNamePrefix(name);
  size_t tagsSize = 0;
  for (ptrdiff_t i = 0; i < folders; ++i) {
    const size_t dash = prefix.find('-', tagsSize);
    if (dash == std::string_view::npos || dash == tagsSize || dash - tagsSize > kFolderTagLimit) {
      return false;
    }
    tagsSize = dash + 1;
  }
  const std::string title =
      charset.WritablePrefix(StemOf(path, ending.size), kShortNamePrefixLimit - tagsSize);
  return prefix.substr(tagsSize) == title && ShortNameEnding(name) == ending.listed &&
         ShortNameFoldedHash(name) == FoldedHash(PathHash(path, rehashes));
}

// The path the short name stands for in the media folder, or nullopt.
std::optional<std::string> FindShortName(const LibraryOptions& options, AdapterCharset& charset,
                                         ListingFolder kind, const std::string& folder,
                                         std::string_view name, const OwnEndingCheck* check) {
  const std::string scope = Scope(folder, kind);
  const std::string base = NativePath(folder) + "/";
  auto verify = [&](std::string_view path, int rehashes) {
    return IsShortNameOf(charset, kind, options.convert, path, rehashes, name, base, check);
  };
  std::optional<std::string> found = ListedShortNames().Find(scope, name, verify);
  if (found) return found;
  ShortNameSearch search(charset, name);
  WalkLibrary(folder, kind, options.subfolders, options.convert, search, check);
  int rehashes = 0;
  found = search.Result(&rehashes);
  if (found && rehashes >= 0) {
    ListedShortNames().Remember(scope, {{std::string(name), *found, rehashes}});
  }
  return found;
}

// The source a name with the folder's converted ending that is no file stands for: of the
// files in its folder with its stem and an ending the folder converts (or, with check, one of
// its own that check says must be converted), the first a listing gives that name to, the
// least in bytes. base: the media folder with a "/" behind it.
std::optional<std::string> ConvertedSource(const std::string& base, std::string_view relative,
                                           ListingFolder kind, const OwnEndingCheck* check) {
  const std::string_view ending = ConvertedEnding(kind);
  if (ending.empty() || !relative.ends_with(ending)) return std::nullopt;
  const std::string_view folder = relative.substr(0, relative.size() - FileNameOf(relative).size());
  const std::string_view stem =
      relative.substr(folder.size(), relative.size() - folder.size() - ending.size());
  if (stem.empty()) return std::nullopt;
  auto mustConvert = [&](std::string_view name) {
    const std::string path = std::string(folder).append(name);
    EntryAttributes attributes;
    return check && PathAttributes(base + path, &attributes) && !attributes.isFolder &&
           check->MustConvert(path, attributes);
  };
  std::optional<std::string> source =
      KnownConvertedSources().Find(base + std::string(folder), kind, stem, mustConvert);
  if (!source) return std::nullopt;
  return std::string(folder) + *source;
}

}  // namespace

bool ListMediaFolder(const LibraryOptions& options, ListingFolder kind, const std::string& folder,
                     ListingSink& sink, const OwnEndingCheck* check) {
  bool done;
  {
    ListingVisitor visitor(options, Scope(folder, kind), sink);
    done = WalkLibrary(folder, kind, options.subfolders, options.convert, visitor, check);
    visitor.Remember();
  }
  // What the walk of a big library held, back to the system, also while many listings run.
  ReturnFreeMemory();
  return done;
}

PlayName ResolvePlayName(const LibraryOptions& options, ListingFolder kind,
                         const std::string& folder, std::string_view name,
                         const OwnEndingCheck* check) {
  PlayName play;
  AdapterCharset charset(options.charset);
  if (!charset.FromAdapter(name, &play.shown)) play.shown.assign(name);
  play.relative = play.shown;
  if (folder.empty()) return play;
  const std::string base = NativePath(folder) + "/";
  // A name that is a file as it stands; with subfolders a folder is entered, never listed, so
  // its name may be a converted source's.
  auto isListedAsIs = [&](const std::string& relative) {
    EntryAttributes attributes;
    return PathAttributes(base + relative, &attributes) &&
           !(attributes.isFolder && options.subfolders && options.convert);
  };
  // Only a name a listing could list is looked for among the sources.
  auto convertedSource = [&](const std::string& relative) -> std::optional<std::string> {
    if (!options.convert || !ListableName(relative, kind, options.subfolders, true)) return {};
    return ConvertedSource(base, relative, kind, check);
  };
  if (!isListedAsIs(play.relative)) {
    // A converted source listed as it is comes before a short name (no short name is given
    // that a name listed as it is has), and its name as it stands before backslashes taken
    // for separators, as for a file.
    std::optional<std::string> found = convertedSource(play.relative);
    const bool separated = play.relative.find('\\') != std::string::npos;
    std::replace(play.relative.begin(), play.relative.end(), '\\', '/');
    // Unchanged by the replacement, the name was looked up as it stands already.
    if (!found && (!separated || !isListedAsIs(play.relative))) {
      if (separated) found = convertedSource(play.relative);
      if (!found && options.shortNames && HasShortNameShape(name)) {
        found = FindShortName(options, charset, kind, folder, name, check);
      }
    }
    if (found) play.shown = play.relative = std::move(*found);
  }
  play.listable = ListableName(play.relative, kind, options.subfolders, options.convert);
  play.mustStayInside = play.relative.find('/') != std::string::npos;
  play.converted = EndingOf(kind, play.relative, options.convert).converted;
  return play;
}

}  // namespace rureza
