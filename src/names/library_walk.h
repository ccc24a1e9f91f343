// The walk of one media folder: every entry the folder lists, as the file system yields it.
// One level (subfolders off), as the listing always walked: each entry with one of the folder's
// endings, file or folder. With subfolders, every depth up to kDeepestFolder folders below the
// media folder: files with the folder's endings are listed under their relative paths
// ("Artist/Album/01 Title.mp3"); folders, whatever their names, are entered instead of listed,
// except those whose names begin with "."; a folder reached twice (by a symbolic link, say) is
// walked once. Below the media folder itself, a symbolic link is followed only when it resolves
// inside the media folder, so nothing outside it is ever listed; the media folder's own entries
// are taken as they always were.
// A folder that cannot be opened (vanished, unreadable) contributes nothing and ends nothing.
// Thread safety: a walk runs on the calling thread; walks are independent.
#pragma once

#include <string>
#include <string_view>

#include "names/media_endings.h"
#include "platform/directory.h"

namespace rureza {

// A file in media/d1/.../d16/ is listed, one in media/d1/.../d17/ is not.
inline constexpr int kDeepestFolder = 16;

struct WalkEntry {
  std::string_view path;                  // relative to the media folder, "/" between folders
  std::string_view name;                  // path's last part, followed by a zero byte
  const DirectoryWalk* folder = nullptr;  // the open folder the entry is in

  // Its attributes, symbolic links followed; false when they cannot be read (it vanished).
  bool Attributes(EntryAttributes* out) const { return folder->Attributes(name.data(), out); }
};

class WalkVisitor {
 public:
  virtual ~WalkVisitor() = default;
  // Asked before each entry; true ends the walk.
  virtual bool Stopped() = 0;
  // An entry the folder lists; false ends the walk.
  virtual bool Visit(const WalkEntry& entry) = 0;
};

// Walks folder (a server path) for kind's endings. False when the visitor ended the walk.
bool WalkLibrary(const std::string& folder, ListingFolder kind, bool subfolders,
                 WalkVisitor& visitor);

}  // namespace rureza
