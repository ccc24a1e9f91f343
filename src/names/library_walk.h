// The walk of one media folder: every entry the folder lists, in listing order (natural_order.h),
// each folder's own entries together.
// One level (subfolders off), as the listing always walked: each entry with one of the folder's
// endings, file or folder. With subfolders, depth first down to kDeepestFolder folders below the
// media folder: a folder's files with the folder's endings under their relative paths
// ("Artist/Album/01 Title.mp3"), then each of its subfolders in turn; folders, whatever their
// names, are entered instead of listed, except those whose names begin with "." and those
// that hold no media (IsJunkName); a folder reached twice (by a symbolic link, say) is walked
// once. A symbolic link to a folder, and below the media folder's top any symbolic link, is
// followed only when what it opened lies inside the media folder (IsInsideFolder), so nothing
// outside it is ever listed, even while links change; the top's links to files are taken as
// they always were.
// With convert, sources the folder converts are walked too (files only, never a folder), each in
// the place its listed name takes (EndingOf); where it shares that name with a file listed as it
// is, the file comes first. With an OwnEndingCheck, a file of the folder's own endings that the
// check says must be converted all the same is such a source too, listed under the converted
// ending.
// A folder that cannot be opened (vanished, unreadable) contributes nothing and ends nothing.
// Thread safety: a walk runs on the calling thread; walks are independent.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "names/media_endings.h"
#include "platform/directory.h"

namespace rureza {

// A file in media/d1/.../d16/ is listed, one in media/d1/.../d17/ is not.
inline constexpr int kDeepestFolder = 16;

struct WalkEntry {
  std::string_view path;                  // relative to the media folder, "/" between folders
  std::string_view name;                  // path's last part, followed by a zero byte
  MediaEnding ending;                     // how it is listed
  const DirectoryWalk* folder = nullptr;  // the open folder the entry is in
  // Its attributes: as read from what a link below the top opened, else read afresh, a link
  // followed only where it always was (directly in the media folder); a file that became a link
  // since the walk found it shows the link's own. False when they cannot be read (it vanished).
  bool opened = false;
  bool followLink = true;
  EntryAttributes openedAttributes{};
  bool Attributes(EntryAttributes* out) const {
    if (opened) *out = openedAttributes;
    return opened || folder->Attributes(name.data(), out, followLink);
  }
};

// One of the folders a visited folder's entries are in, as the folder above it has it: the
// names of that folder's subfolders in listing order (the folders beside it, itself among
// them, entered or not), and its own place among them.
struct WalkFolder {
  const std::vector<std::string_view>* siblings = nullptr;
  size_t place = 0;
  uint64_t serial = 0;  // one for each folder whose subfolders these are, unique in a walk
};

// Which files with an ending of the folder's own must be converted all the same (a video whose
// picture or sound the adapter cannot decode, as its header said). Asked from the thread of a
// walk (or of a play request's lookup); implementations answer from memory.
class OwnEndingCheck {
 public:
  virtual ~OwnEndingCheck() = default;
  // path: relative to the media folder; attributes: the file's, links followed as it is listed.
  virtual bool MustConvert(std::string_view path, const EntryAttributes& attributes) const = 0;
};

class WalkVisitor {
 public:
  virtual ~WalkVisitor() = default;
  // Asked before each folder is read; true ends the walk.
  virtual bool Stopped() = 0;
  // The entries one folder lists, in listing order; folders: the folders they are in,
  // innermost first (none: the media folder's own). False ends the walk.
  virtual bool VisitFolder(const std::vector<WalkEntry>& entries,
                           const std::vector<WalkFolder>& folders) = 0;
};

// Walks folder (a server path) for kind's endings. False when the visitor ended the walk.
// check (with convert only): asked for every file listed under an ending of the folder's own.
bool WalkLibrary(const std::string& folder, ListingFolder kind, bool subfolders, bool convert,
                 WalkVisitor& visitor, const OwnEndingCheck* check = nullptr);

// With subfolders, what holds no media whatever it ends in, so the walk neither lists nor enters
// it: macOS's companions of copied files ("._x.mp3"; files and folders alike), and folders that
// systems and NAS boxes keep for themselves ("@eaDir", "#recycle", "#snapshot", "$RECYCLE.BIN",
// "System Volume Information", "lost+found", ".Trashes", in any ASCII case).
bool IsJunkName(std::string_view name, bool folder);

// The names of the (at most) count files that follow the file called name in its folder (a
// path of this system) in listing order, of those a folder of kind lists (with convert, the
// sources it converts too): what a slideshow shows next. Hidden names are left out.
std::vector<std::string> NextListedFiles(const std::string& nativeFolder, std::string_view name,
                                         ListingFolder kind, bool convert, size_t count);

// The one test of "inside the media folder", for the walk and for a file a request opened: true
// when path lies below folder (both absolute, links resolved). The folder itself is not below
// itself, and "/srv/audio-private/x" is not below "/srv/audio".
bool IsInsideFolder(std::string_view path, std::string_view folder);

// True when path (relative, as stored, "/" between folders) names what a walk of a folder of
// kind could list: no folder whose name is empty or begins with "." (which covers ".."), no more
// folders than the walk goes down (none with subfolders off), and one of kind's endings (with
// convert, of the sources it converts too); with subfolders, nothing IsJunkName.
bool ListableName(std::string_view path, ListingFolder kind, bool subfolders, bool convert);

}  // namespace rureza
