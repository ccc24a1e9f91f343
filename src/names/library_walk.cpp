#include "names/library_walk.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <numeric>
#include <set>
#include <utility>

#include "names/natural_order.h"

namespace rureza {
namespace {

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

constexpr std::string_view kJunkFolders[] = {
    "@eaDir",     "#recycle", "#snapshot", "$RECYCLE.BIN", "System Volume Information",
    "lost+found", ".Trashes"};

bool SameInAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Puts items in the order of their sort keys (appendKey(item, &keys) appends an item's), each
// key made once.
template <typename Item, typename AppendKey>
void SortByKeys(std::vector<Item>* items, const AppendKey& appendKey) {
  std::string keys;
  std::vector<size_t> bounds = {0};
  for (const Item& item : *items) {
    appendKey(item, &keys);
    bounds.push_back(keys.size());
  }
  auto key = [&](size_t i) {
    return std::string_view(keys).substr(bounds[i], bounds[i + 1] - bounds[i]);
  };
  std::vector<size_t> order(items->size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return key(a) < key(b); });
  std::vector<Item> sorted;
  sorted.reserve(items->size());
  for (size_t i : order) sorted.push_back((*items)[i]);
  items->swap(sorted);
}

class Walk {
 public:
  Walk(const std::string& folder, ListingFolder kind, bool subfolders, bool convert,
       WalkVisitor& visitor, const OwnEndingCheck* check)
      : folder_(folder),
        kind_(kind),
        subfolders_(subfolders),
        convert_(convert),
        visitor_(visitor),
        check_(convert ? check : nullptr) {}

  bool Run();

 private:
  struct Subfolder {
    size_t offset;  // of its name in Level::subfolderNames
    bool link;
  };
  struct Level {
    DirectoryWalk dir;
    size_t pathLength = 0;       // of path_ while this folder is walked
    std::string subfolderNames;  // each followed by a zero byte
    std::vector<Subfolder> subfolders;
    std::vector<std::string_view> sortedNames;  // the subfolders' names, in listing order
    size_t next = 0;                            // the next subfolder to enter
    uint64_t serial = 0;
  };
  struct File {
    size_t offset;  // of its path in files_, followed by a zero byte
    size_t length;
    bool followLink;
    bool opened;
    EntryAttributes attributes;
    MediaEnding ending;  // its listed view only for a converted source (a constant)
  };

  // Lists the files of the folder on top of the stack and gathers its subfolders in order.
  // False when the visitor ended the walk.
  bool ReadFolder(Level& level);
  void AddFile(const DirectoryWalk& dir, const char* name, const MediaEnding& ending,
               bool followLink, bool opened = false, const EntryAttributes& attributes = {});
  void AddSubfolder(Level& level, const char* name, bool link);
  // Opens the subfolder and pushes it; false when it is not to be walked.
  bool Enter(Level& parent, const Subfolder& subfolder);
  const std::string& RealRoot();

  const std::string& folder_;
  const ListingFolder kind_;
  const bool subfolders_;
  const bool convert_;
  WalkVisitor& visitor_;
  const OwnEndingCheck* const check_;
  std::vector<std::unique_ptr<Level>> stack_;
  std::string path_;
  std::string filePaths_;  // the paths of the folder being read
  std::vector<File> files_;
  std::vector<WalkEntry> entries_;
  std::vector<WalkFolder> folders_;  // those of the folder being read, innermost first
  uint64_t levels_ = 0;              // made so far
  std::string listedName_;           // a converted source's listed name while its key is made
  std::set<std::pair<uint64_t, uint64_t>> walked_;
  std::string realRoot_;  // found when a link first needs it
  bool realRootRead_ = false;
};

bool Walk::Run() {
  auto root = std::make_unique<Level>();
  // A folder that cannot be searched contributes nothing and logs nothing.
  if (!root->dir.Open(folder_)) return true;
  FolderIdentity identity;
  if (subfolders_ && root->dir.Identity(&identity)) {
    walked_.emplace(identity.device, identity.inode);
  }
  stack_.push_back(std::move(root));
  if (visitor_.Stopped() || !ReadFolder(*stack_.back())) return false;
  while (!stack_.empty()) {
    Level& level = *stack_.back();
    if (level.next == level.subfolders.size()) {
      stack_.pop_back();
      if (!stack_.empty()) path_.resize(stack_.back()->pathLength);
      continue;
    }
    const Subfolder subfolder = level.subfolders[level.next++];
    if (visitor_.Stopped()) return false;
    if (Enter(level, subfolder) && !ReadFolder(*stack_.back())) return false;
  }
  return true;
}

bool Walk::ReadFolder(Level& level) {
  const bool top = stack_.size() == 1;
  const bool mayEnter = static_cast<int>(stack_.size()) <= kDeepestFolder;
  filePaths_.clear();
  files_.clear();
  EntryType type = EntryType::kUnknown;
  while (const char* name = level.dir.Next(subfolders_ || convert_ ? &type : nullptr)) {
    const MediaEnding ending = EndingOf(kind_, name, convert_);
    // A converted source is a file: a folder, or anything else, of that name is no song.
    auto isFile = [&](bool followLink) {
      return type == EntryType::kFile ||
             ((type == EntryType::kUnknown || (followLink && type == EntryType::kLink)) &&
              level.dir.TypeOf(name, followLink) == EntryType::kFile);
    };
    if (!subfolders_) {
      // One level: the entries with the folder's endings, files and folders alike.
      if (ending.size != 0 && (!ending.converted || isFile(/*followLink=*/true))) {
        AddFile(level.dir, name, ending, /*followLink=*/true);
      }
      continue;
    }
    if (IsDotOrDotDot(name) || IsJunkName(name, /*folder=*/false)) continue;
    if (type == EntryType::kUnknown) type = level.dir.TypeOf(name, /*followLink=*/false);
    const bool enterable = name[0] != '.' && mayEnter && !IsJunkName(name, /*folder=*/true);
    if (type == EntryType::kLink && top) {
      // The media folder's own links to files are listed as they always were, wherever they
      // point; a link to a folder is checked when it is opened.
      const EntryType target = level.dir.TypeOf(name, /*followLink=*/true);
      if (target == EntryType::kFolder) {
        if (enterable) AddSubfolder(level, name, /*link=*/true);
      } else if (ending.size != 0 && (!ending.converted || target == EntryType::kFile)) {
        AddFile(level.dir, name, ending, /*followLink=*/true);
      }
    } else if (type == EntryType::kLink) {
      // Decided on what the link opened, which is also what gets listed.
      EntryAttributes attributes;
      std::string real;
      if (!level.dir.Follow(name, &type, &attributes, &real) || !IsInsideFolder(real, RealRoot())) {
        continue;
      }
      if (type == EntryType::kFolder) {
        if (enterable) AddSubfolder(level, name, /*link=*/true);
      } else if (ending.size != 0 && (!ending.converted || type == EntryType::kFile)) {
        AddFile(level.dir, name, ending, /*followLink=*/false, /*opened=*/true, attributes);
      }
    } else if (type == EntryType::kFolder) {
      if (enterable) AddSubfolder(level, name, /*link=*/false);
    } else if (ending.size != 0 && (!ending.converted || type == EntryType::kFile)) {
      AddFile(level.dir, name, ending, /*followLink=*/false);
    }
  }

  const size_t folderLength = path_.size();
  auto nameOf = [&](const File& file) {
    return std::string_view(filePaths_)
        .substr(file.offset + folderLength, file.length - folderLength);
  };
  // By the names they are listed under; a converted source after a file listed as it is under
  // the same name, then by its own name.
  SortByKeys(&files_, [&](const File& file, std::string* keys) {
    const std::string_view name = nameOf(file);
    if (!file.ending.converted) return AppendNaturalKey(name, /*withEnding=*/true, keys);
    listedName_.assign(name.substr(0, name.size() - file.ending.size)).append(file.ending.listed);
    AppendNaturalKey(listedName_, /*withEnding=*/true, keys);
    keys->push_back('\0');
    keys->append(name);
  });
  entries_.clear();
  for (const File& file : files_) {
    WalkEntry entry;
    entry.path = std::string_view(filePaths_).substr(file.offset, file.length);
    entry.name = nameOf(file);
    // A converted source's ending (a constant) as decided; a file's own one read afresh.
    entry.ending = file.ending.converted ? file.ending : EndingOf(kind_, entry.name, convert_);
    entry.folder = &level.dir;
    entry.opened = file.opened;
    entry.followLink = file.followLink;
    entry.openedAttributes = file.attributes;
    entries_.push_back(entry);
  }
  folders_.clear();
  for (size_t i = stack_.size() - 1; i > 0; --i) {
    const Level& parent = *stack_[i - 1];
    folders_.push_back(WalkFolder{&parent.sortedNames, parent.next - 1, parent.serial});
  }
  if (!entries_.empty() && !visitor_.VisitFolder(entries_, folders_)) return false;

  SortByKeys(&level.subfolders, [&](const Subfolder& subfolder, std::string* keys) {
    AppendNaturalKey(level.subfolderNames.c_str() + subfolder.offset, /*withEnding=*/false, keys);
  });
  for (const Subfolder& subfolder : level.subfolders) {
    level.sortedNames.emplace_back(level.subfolderNames.c_str() + subfolder.offset);
  }
  return true;
}

void Walk::AddFile(const DirectoryWalk& dir, const char* name, const MediaEnding& ending,
                   bool followLink, bool opened, const EntryAttributes& attributes) {
  const size_t offset = filePaths_.size();
  filePaths_.append(path_).append(name);
  File file{offset, filePaths_.size() - offset, followLink, opened, attributes, ending};
  if (check_ && !ending.converted) {
    // Its attributes, read for the check, are the ones it is listed with.
    if (!file.opened) file.opened = dir.Attributes(name, &file.attributes, followLink);
    if (file.opened && !file.attributes.isFolder &&
        check_->MustConvert(std::string_view(filePaths_).substr(offset), file.attributes)) {
      file.ending = {ending.size, true, ConvertedEnding(kind_)};
    }
  }
  files_.push_back(file);
  filePaths_.push_back('\0');
}

void Walk::AddSubfolder(Level& level, const char* name, bool link) {
  level.subfolders.push_back(Subfolder{level.subfolderNames.size(), link});
  level.subfolderNames.append(name).push_back('\0');
}

bool Walk::Enter(Level& parent, const Subfolder& subfolder) {
  const char* name = parent.subfolderNames.c_str() + subfolder.offset;
  auto level = std::make_unique<Level>();
  level->serial = ++levels_;
  if (!level->dir.OpenInside(parent.dir, name, subfolder.link)) return false;
  // The folder as opened, not a path looked up before: a link swapped meanwhile changes nothing.
  if (subfolder.link && !IsInsideFolder(level->dir.Path(), RealRoot())) return false;
  FolderIdentity identity;
  if (!level->dir.Identity(&identity) || !walked_.emplace(identity.device, identity.inode).second) {
    return false;  // walked already (or unknowable, so it might be)
  }
  path_.append(name).append(1, '/');
  level->pathLength = path_.size();
  stack_.push_back(std::move(level));
  return true;
}

const std::string& Walk::RealRoot() {
  if (!realRootRead_) {
    realRoot_ = stack_.front()->dir.Path();
    realRootRead_ = true;
  }
  return realRoot_;
}

}  // namespace

bool WalkLibrary(const std::string& folder, ListingFolder kind, bool subfolders, bool convert,
                 WalkVisitor& visitor, const OwnEndingCheck* check) {
  return Walk(folder, kind, subfolders, convert, visitor, check).Run();
}

bool IsJunkName(std::string_view name, bool folder) {
  if (name.starts_with("._")) return true;
  if (!folder) return false;
  return std::any_of(std::begin(kJunkFolders), std::end(kJunkFolders),
                     [&](std::string_view junk) { return SameInAsciiCase(name, junk); });
}

bool IsInsideFolder(std::string_view path, std::string_view folder) {
  if (folder.empty() || path.size() <= folder.size() || !path.starts_with(folder)) return false;
  return folder.back() == '/' || path[folder.size()] == '/';
}

bool ListableName(std::string_view path, ListingFolder kind, bool subfolders, bool convert) {
  int folders = 0;
  for (size_t slash; (slash = path.find('/')) != std::string_view::npos; ++folders) {
    if (slash == 0 || path[0] == '.' || IsJunkName(path.substr(0, slash), /*folder=*/true)) {
      return false;
    }
    path.remove_prefix(slash + 1);
  }
  if (subfolders && IsJunkName(path, /*folder=*/false)) return false;
  return folders <= (subfolders ? kDeepestFolder : 0) && EndingBelongsTo(kind, path, convert);
}

std::vector<std::string> NextListedFiles(const std::string& nativeFolder, std::string_view name,
                                         ListingFolder kind, bool convert, size_t count) {
  DirectoryWalk folder;
  if (!folder.OpenNative(nativeFolder)) return {};
  std::string after;
  AppendNaturalKey(name, /*withEnding=*/true, &after);
  std::vector<std::pair<std::string, std::string>> following;  // key, name
  EntryType type;
  while (const char* entry = folder.Next(&type)) {
    const std::string_view file(entry);
    if (file.starts_with('.') || EndingOf(kind, file, convert).size == 0 ||
        (type != EntryType::kFile && type != EntryType::kLink && type != EntryType::kUnknown)) {
      continue;
    }
    std::string key;
    AppendNaturalKey(file, /*withEnding=*/true, &key);
    if (key > after) following.emplace_back(std::move(key), file);
  }
  std::sort(following.begin(), following.end());
  std::vector<std::string> names;
  for (size_t i = 0; i < following.size() && names.size() < count; ++i) {
    names.push_back(std::move(following[i].second));
  }
  return names;
}

}  // namespace rureza
