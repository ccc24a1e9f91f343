#include "names/adapter_names.h"

#include <algorithm>
#include <map>
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

// Files that need a short name, gathered during the walk in its order: each one's group (its
// prefix and ending) and path in one arena, and a fingerprint of the name its own path makes.
class LongNames {
 public:
  struct Item {
    size_t offset;
    uint16_t keyLength;
    uint16_t pathLength;
    uint64_t own;  // Fnv1a64 of the name its own path makes
  };

  void Add(std::string_view prefix, std::string_view path) {
    std::string_view ending = path.substr(path.size() - kShortNameEndingSize);
    items_.push_back(Item{arena_.size(), static_cast<uint16_t>(prefix.size() + ending.size()),
                          static_cast<uint16_t>(path.size()),
                          Fnv1a64(ComposeShortName(prefix, ShortNameHash(path, 0), ending))});
    arena_.append(prefix).append(ending).append(path);
  }
  const std::vector<Item>& items() const { return items_; }
  std::string_view Key(const Item& item) const {
    return std::string_view(arena_).substr(item.offset, item.keyLength);
  }
  std::string_view Path(const Item& item) const {
    return std::string_view(arena_).substr(item.offset + item.keyLength, item.pathLength);
  }
  std::string OwnName(const Item& item) const {
    std::string_view key = Key(item);
    const size_t prefixLength = key.size() - kShortNameEndingSize;
    return ComposeShortName(key.substr(0, prefixLength), ShortNameHash(Path(item), 0),
                            key.substr(prefixLength));
  }

 private:
  std::vector<Item> items_;
  std::string arena_;
};

class ListingVisitor : public WalkVisitor {
 public:
  ListingVisitor(const LibraryOptions& options, const std::string& folder, ListingSink& sink)
      : options_(options),
        folder_(folder),
        charset_(options.charset),
        fitting_(charset_),
        sink_(sink) {}

  bool Stopped() override { return sink_.Stopped(); }

  bool Visit(const WalkEntry& entry) override {
    if (std::optional<std::string_view> name = fitting_.Name(entry.path)) {
      if (options_.shortNames && HasShortNameShape(*name)) {
        reserved_.emplace(*name);
        reservedOwn_.insert(Fnv1a64(*name));
      }
      ListedEntry listed{*name, entry.path};
      listed.attributesRead = entry.Attributes(&listed.attributes);
      return sink_.Listed(listed);
    }
    if (!options_.shortNames) return sink_.Refused(entry.path);
    // Its attributes are read when it is listed, so the walk reaches its end sooner.
    longNames_.Add(PrefixOf(charset_, entry.path), entry.path);
    return true;
  }

  // Lists the files that need short names, once the walk has seen every file, and remembers the
  // names given; a stop ends it too. A file whose own name no other file makes and no file is
  // listed as goes out at once, in the walk's order; the groups with a clash (or what may be one:
  // the fingerprints are compared) are settled among all their files afterwards.
  bool ListLongNames(const std::string& scope) {
    const std::vector<LongNames::Item>& items = longNames_.items();
    std::vector<uint64_t> owns;
    owns.reserve(items.size());
    for (const LongNames::Item& item : items) owns.push_back(item.own);
    std::sort(owns.begin(), owns.end());
    std::unordered_set<std::string_view> clashing;  // groups settled afterwards
    for (const LongNames::Item& item : items) {
      auto [first, last] = std::equal_range(owns.begin(), owns.end(), item.own);
      if (last - first > 1 || reservedOwn_.count(item.own)) clashing.insert(longNames_.Key(item));
    }
    bool more = true;
    for (const LongNames::Item& item : items) {
      if (!more) break;
      if (!clashing.count(longNames_.Key(item))) more = List(item, longNames_.OwnName(item), 0);
    }
    std::map<std::string_view, std::vector<const LongNames::Item*>> groups;
    for (const LongNames::Item& item : items) {
      if (more && clashing.count(longNames_.Key(item)))
        groups[longNames_.Key(item)].push_back(&item);
    }
    for (auto& [key, group] : groups) {
      if (!more) break;
      std::sort(group.begin(), group.end(), [this](const auto* a, const auto* b) {
        return longNames_.Path(*a) < longNames_.Path(*b);
      });
      std::vector<std::string_view> paths;
      for (const LongNames::Item* item : group) paths.push_back(longNames_.Path(*item));
      const size_t prefixLength = key.size() - kShortNameEndingSize;
      std::vector<SettledName> settled =
          SettleShortNames(key.substr(0, prefixLength), key.substr(prefixLength), paths, reserved_);
      for (size_t i = 0; i < group.size() && more; ++i) {
        more = settled[i].name.empty() ? sink_.Refused(paths[i])
                                       : List(*group[i], settled[i].name, settled[i].rehashes);
      }
    }
    if (!given_.empty()) ListedShortNames().Remember(scope, given_);
    return more;
  }

 private:
  // One file under its short name.
  bool List(const LongNames::Item& item, const std::string& name, int rehashes) {
    if (sink_.Stopped()) return false;
    std::string_view path = longNames_.Path(item);
    ListedEntry listed{name, path};
    // The folder is a server path; the name is the file system's own, backslashes and all.
    listed.attributesRead =
        PathAttributes(NativePath(folder_) + "/" + std::string(path), &listed.attributes);
    given_.push_back({name, std::string(path), rehashes});
    return sink_.Listed(listed);
  }

  const LibraryOptions& options_;
  const std::string& folder_;
  AdapterCharset charset_;
  Fitting fitting_;
  ListingSink& sink_;
  LongNames longNames_;
  std::unordered_set<std::string> reserved_;  // names listed as they are, shaped like short ones
  std::unordered_set<uint64_t> reservedOwn_;  // their fingerprints
  std::vector<ShortNameIndex::Given> given_;
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
    std::vector<SettledName> settled = SettleShortNames(prefix_, ending_, paths, reserved_);
    std::vector<ShortNameIndex::Given> given;
    std::optional<std::string> found;
    for (size_t i = 0; i < settled.size(); ++i) {
      if (settled[i].name.empty()) continue;
      if (settled[i].name == name_) found = candidates_[i];
      given.push_back({settled[i].name, candidates_[i], settled[i].rehashes});
    }
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
  ListingVisitor visitor(options, folder, sink);
  if (!WalkLibrary(folder, kind, options.subfolders, visitor)) return false;
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
      WalkLibrary(folder, kind, options.subfolders, search);
      found = search.Result(scope);
    }
    if (found) result.path = std::move(*found);
  }
  result.mustStayInside =
      options.subfolders && result.path.find_first_of("/\\") != std::string::npos;
  return result;
}

}  // namespace rureza
