#include "names/library_walk.h"

#include <cstring>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "platform/file.h"

namespace rureza {
namespace {

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

class Walk {
 public:
  Walk(const std::string& folder, ListingFolder kind, bool subfolders, WalkVisitor& visitor)
      : folder_(folder), kind_(kind), subfolders_(subfolders), visitor_(visitor) {}

  bool Run();

 private:
  struct Level {
    DirectoryWalk dir;
    size_t pathLength;  // of path_ while this folder is walked
  };

  // One entry of the folder on top of the stack; false ends the walk.
  bool Entry(const char* name, EntryType type);
  bool List(const DirectoryWalk& dir, const char* name);
  void Enter(const char* name, bool followLink);
  // True when the entry called name in the current folder resolves inside the media folder.
  bool ResolvesInside(const char* name);

  const std::string& folder_;
  const ListingFolder kind_;
  const bool subfolders_;
  WalkVisitor& visitor_;
  std::vector<std::unique_ptr<Level>> stack_;
  std::string path_;
  std::set<std::pair<uint64_t, uint64_t>> walked_;
  std::string realFolder_;  // found when a link first needs it
};

bool Walk::Run() {
  auto root = std::make_unique<Level>();
  // A folder that cannot be searched contributes nothing and logs nothing.
  if (!root->dir.Open(folder_)) return true;
  FolderIdentity identity;
  if (subfolders_ && root->dir.Identity(&identity)) {
    walked_.emplace(identity.device, identity.inode);
  }
  root->pathLength = 0;
  stack_.push_back(std::move(root));
  while (!stack_.empty()) {
    Level& level = *stack_.back();
    EntryType type = EntryType::kUnknown;
    const char* name = level.dir.Next(subfolders_ ? &type : nullptr);
    if (!name) {
      stack_.pop_back();
      if (!stack_.empty()) path_.resize(stack_.back()->pathLength);
      continue;
    }
    if (visitor_.Stopped()) return false;
    if (!Entry(name, type)) return false;
  }
  return true;
}

bool Walk::Entry(const char* name, EntryType type) {
  DirectoryWalk& dir = stack_.back()->dir;
  if (!subfolders_) {
    // One level: the entries with the folder's endings, files and folders alike.
    return EndingBelongsTo(kind_, name) ? List(dir, name) : true;
  }
  if (IsDotOrDotDot(name)) return true;
  const bool top = stack_.size() == 1;
  if (type == EntryType::kUnknown) type = dir.TypeOf(name, /*followLink=*/false);
  bool link = type == EntryType::kLink;
  if (link) {
    type = dir.TypeOf(name, /*followLink=*/true);
    // The media folder's own entries are listed as they always were, wherever they point.
    if (type != EntryType::kFolder && top)
      return EndingBelongsTo(kind_, name) ? List(dir, name) : true;
    if (!ResolvesInside(name)) return true;
  }
  if (type == EntryType::kFolder) {
    if (name[0] != '.' && static_cast<int>(stack_.size()) <= kDeepestFolder) Enter(name, link);
    return true;
  }
  return EndingBelongsTo(kind_, name) ? List(dir, name) : true;
}

bool Walk::List(const DirectoryWalk& dir, const char* name) {
  const size_t folderLength = path_.size();
  path_.append(name);
  WalkEntry entry;
  entry.path = path_;
  entry.name = std::string_view(path_).substr(folderLength);
  entry.folder = &dir;
  const bool more = visitor_.Visit(entry);
  path_.resize(folderLength);
  return more;
}

void Walk::Enter(const char* name, bool followLink) {
  auto level = std::make_unique<Level>();
  if (!level->dir.OpenInside(stack_.back()->dir, name, followLink)) return;
  FolderIdentity identity;
  if (!level->dir.Identity(&identity) || !walked_.emplace(identity.device, identity.inode).second) {
    return;  // walked already (or unknowable, so it might be)
  }
  path_.append(name).append(1, '/');
  level->pathLength = path_.size();
  stack_.push_back(std::move(level));
}

bool Walk::ResolvesInside(const char* name) {
  if (realFolder_.empty()) realFolder_ = RealPath(NativePath(folder_));
  if (realFolder_.empty()) return false;
  const std::string real = RealPath(NativePath(folder_) + "/" + path_ + name);
  return real.size() > realFolder_.size() &&
         real.compare(0, realFolder_.size(), realFolder_) == 0 &&
         (real[realFolder_.size()] == '/' || realFolder_ == "/");
}

}  // namespace

bool WalkLibrary(const std::string& folder, ListingFolder kind, bool subfolders,
                 WalkVisitor& visitor) {
  return Walk(folder, kind, subfolders, visitor).Run();
}

}  // namespace rureza
