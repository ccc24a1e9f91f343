#include "names/adapter_names.h"

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <vector>

#include "names/adapter_charset.h"
#include "names/library_walk.h"
#include "names/short_name_index.h"
#include "names/short_names.h"
#include "platform/file.h"

namespace rureza {
namespace {

// Where a media folder's short names live in the index: its path and its kind.
std::string Scope(const std::string& folder, ListingFolder kind) {
  return folder + '\0' + static_cast<char>('0' + static_cast<int>(kind));
}

std::string_view FileNameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The prefix of a file's short name. A listed file's name is longer than its ending.
std::string PrefixOf(AdapterCharset& charset, std::string_view path) {
  std::string_view name = FileNameOf(path);
  return charset.WritablePrefix(name.substr(0, name.size() - kShortNameEndingSize),
                                kShortNamePrefixLimit);
}

std::string ShortNameOf(AdapterCharset& charset, std::string_view path, int rehashes) {
  return ComposeShortName(PrefixOf(charset, path), ShortNameHash(path, rehashes),
                          path.substr(path.size() - kShortNameEndingSize));
}

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

// Files that need a short name, gathered during the walk: each one's group (prefix and ending)
// and path in one arena.
class LongNames {
 public:
  struct Item {
    size_t offset;
    uint16_t keyLength;
    uint16_t pathLength;
    bool attributesRead;
    EntryAttributes attributes;
  };

  void Add(std::string_view prefix, const WalkEntry& entry) {
    std::string_view ending = entry.path.substr(entry.path.size() - kShortNameEndingSize);
    items_.push_back(Item{arena_.size(), static_cast<uint16_t>(prefix.size() + ending.size()),
                          static_cast<uint16_t>(entry.path.size()), entry.attributesRead,
                          entry.attributes});
    arena_.append(prefix).append(ending).append(entry.path);
  }
  std::string_view Key(const Item& item) const {
    return std::string_view(arena_).substr(item.offset, item.keyLength);
  }
  std::string_view Path(const Item& item) const {
    return std::string_view(arena_).substr(item.offset + item.keyLength, item.pathLength);
  }
  // Calls each(items of one group, prefix, ending) group by group, paths in byte order; stops
  // when it returns false.
  template <typename Each>
  bool ForEachGroup(Each each) {
    std::sort(items_.begin(), items_.end(), [this](const Item& a, const Item& b) {
      return std::pair(Key(a), Path(a)) < std::pair(Key(b), Path(b));
    });
    for (size_t first = 0; first < items_.size();) {
      size_t end = first + 1;
      while (end < items_.size() && Key(items_[end]) == Key(items_[first])) ++end;
      std::string_view key = Key(items_[first]);
      const size_t prefixLength = key.size() - kShortNameEndingSize;
      std::vector<Item> group(items_.begin() + first, items_.begin() + end);
      if (!each(group, key.substr(0, prefixLength), key.substr(prefixLength))) return false;
      first = end;
    }
    return true;
  }

 private:
  std::vector<Item> items_;
  std::string arena_;
};

class ListingVisitor : public WalkVisitor {
 public:
  ListingVisitor(const LibraryOptions& options, ListingSink& sink)
      : options_(options), charset_(options.charset), fitting_(charset_), sink_(sink) {}

  bool Stopped() override { return sink_.Stopped(); }

  bool Visit(const WalkEntry& entry) override {
    if (std::optional<std::string_view> name = fitting_.Name(entry.path)) {
      if (options_.shortNames && HasShortNameShape(*name)) reserved_.emplace(*name);
      return sink_.Listed(ListedEntry{*name, entry.path, entry.attributesRead, entry.attributes});
    }
    if (!options_.shortNames) return sink_.Refused(entry.path);
    longNames_.Add(PrefixOf(charset_, entry.path), entry);
    return true;
  }

  // Lists the files that need short names and remembers the names given; a stop ends it too.
  bool ListLongNames(const std::string& scope) {
    std::vector<ShortNameIndex::Given> given;
    std::vector<std::string_view> paths;
    const bool done = longNames_.ForEachGroup([&](const std::vector<LongNames::Item>& group,
                                                  std::string_view prefix,
                                                  std::string_view ending) {
      paths.clear();
      for (const LongNames::Item& item : group) paths.push_back(longNames_.Path(item));
      bool more = true;
      AssignShortNames(
          prefix, ending, paths, reserved_, [&](size_t i, const std::string& name, int rehashes) {
            if (more && sink_.Stopped()) more = false;
            if (!more) return;
            const LongNames::Item& item = group[i];
            if (name.empty()) {
              more = sink_.Refused(paths[i]);
              return;
            }
            given.push_back({name, std::string(paths[i]), rehashes});
            more = sink_.Listed(ListedEntry{name, paths[i], item.attributesRead, item.attributes});
          });
      return more;
    });
    if (!given.empty()) ListedShortNames().Remember(scope, given);
    return done;
  }

 private:
  const LibraryOptions& options_;
  AdapterCharset charset_;
  Fitting fitting_;
  ListingSink& sink_;
  LongNames longNames_;
  std::unordered_set<std::string> reserved_;  // names listed as they are, shaped like short ones
};

// Could a file called stem (without its ending) have a short name that starts with prefix? A
// quick no for most files: printable ASCII is written as itself in every usable character set.
bool MayStartShortName(std::string_view stem, std::string_view prefix) {
  for (size_t i = 0; i < stem.size() && i < prefix.size(); ++i) {
    const auto a = static_cast<unsigned char>(stem[i]);
    const auto b = static_cast<unsigned char>(prefix[i]);
    if (a < 0x20 || a > 0x7E || a == '\\' || b < 0x20 || b > 0x7E || b == '_') return true;
    if (a != b) return false;
  }
  return true;
}

// Finds the file a short name stands for by walking the folder: only the files whose short
// names would share its prefix and ending can have it or take it.
class ShortNameSearch : public WalkVisitor {
 public:
  // REQUIRES: HasShortNameShape(name).
  ShortNameSearch(AdapterCharset& charset, std::string_view name)
      : charset_(charset),
        fitting_(charset_),
        name_(name),
        prefix_(ShortNamePrefix(name)),
        ending_(ShortNameEnding(name)) {}

  bool Stopped() override { return false; }

  bool Visit(const WalkEntry& entry) override {
    if (!entry.path.ends_with(ending_)) return true;
    if (std::optional<std::string_view> listed = fitting_.Name(entry.path)) {
      if (listed->ends_with(ending_) && HasShortNameShape(*listed) &&
          ShortNamePrefix(*listed) == prefix_) {
        reserved_.emplace(*listed);
      }
      return true;
    }
    std::string_view fileName = FileNameOf(entry.path);
    std::string_view stem = fileName.substr(0, fileName.size() - kShortNameEndingSize);
    if (MayStartShortName(stem, prefix_) && PrefixOf(charset_, entry.path) == prefix_) {
      candidates_.emplace_back(entry.path);
    }
    return true;
  }

  std::optional<std::string> Result(const std::string& scope) {
    std::sort(candidates_.begin(), candidates_.end());
    std::vector<std::string_view> paths(candidates_.begin(), candidates_.end());
    std::vector<ShortNameIndex::Given> given;
    std::optional<std::string> found;
    AssignShortNames(prefix_, ending_, paths, reserved_,
                     [&](size_t i, const std::string& name, int rehashes) {
                       if (name.empty()) return;
                       if (name == name_) found = candidates_[i];
                       given.push_back({name, candidates_[i], rehashes});
                     });
    if (!given.empty()) ListedShortNames().Remember(scope, given);
    return found;
  }

 private:
  AdapterCharset& charset_;
  Fitting fitting_;
  const std::string_view name_;
  const std::string_view prefix_;
  const std::string_view ending_;
  std::vector<std::string> candidates_;
  std::unordered_set<std::string> reserved_;
};

}  // namespace

bool ListMediaFolder(const LibraryOptions& options, ListingFolder kind, const std::string& folder,
                     ListingSink& sink) {
  ListingVisitor visitor(options, sink);
  WalkOptions walk;
  walk.subfolders = options.subfolders;
  if (!WalkLibrary(folder, kind, walk, visitor)) return false;
  return visitor.ListLongNames(Scope(folder, kind));
}

PlayName ResolvePlayName(const LibraryOptions& options, ListingFolder kind,
                         const std::string& folder, std::string_view name) {
  PlayName result;
  AdapterCharset charset(options.charset);
  if (!charset.FromAdapter(name, &result.path)) result.path.assign(name);
  if (options.shortNames && HasShortNameShape(name) && !folder.empty() &&
      !PathExists(folder + "\\" + result.path)) {
    const std::string scope = Scope(folder, kind);
    auto verify = [&](std::string_view path, int rehashes) {
      return FileNameOf(path).size() > kShortNameEndingSize &&
             ShortNameOf(charset, path, rehashes) == name;
    };
    std::optional<std::string> found = ListedShortNames().Find(scope, name, verify);
    if (!found) {
      ShortNameSearch search(charset, name);
      WalkOptions walk;
      walk.subfolders = options.subfolders;
      walk.readAttributes = false;
      WalkLibrary(folder, kind, walk, search);
      found = search.Result(scope);
    }
    if (found) result.path = std::move(*found);
  }
  result.mustStayInside =
      options.subfolders && result.path.find_first_of("/\\") != std::string::npos;
  return result;
}

}  // namespace rureza
