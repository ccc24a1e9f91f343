// DirectoryWalk: the entries of one folder, one level deep, in the order the file system
// yields them ("." and ".." included, as the server's listing expects to skip them itself).
// A walk can open a folder inside the folder another walk has open, so a caller can go down a
// tree without building paths; both opens go through the open seam (platform/syscalls.h).
// Thread safety: one thread uses a walk at a time; separate walks are independent.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <string>

namespace rureza {

struct EntryAttributes {
  bool isFolder = false;
  // The owner's write permission bit is clear (not "this user may not write": root may
  // write anything).
  bool readOnly = false;
  uint64_t size = 0;               // 0 for a folder
  int64_t mtimeNs = 0;             // when its contents last changed, nanoseconds since the epoch
  int64_t ctimeNs = 0;             // when anything about it last changed
  uint64_t device = 0, inode = 0;  // which file it is
};

// What an entry is. kUnknown: the file system did not say, or it cannot be read.
enum class EntryType { kUnknown, kFile, kFolder, kLink, kOther };

// Which folder a walk has open, whatever path led to it.
struct FolderIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FolderIdentity&) const = default;
};

// What changes whenever a folder's entries do: its identity, and its modification and change
// times (the change time cannot be set back, not even by tools that restore the other).
struct FolderStamp {
  FolderIdentity identity;
  int64_t mtimeNs = 0;
  int64_t ctimeNs = 0;
  bool operator==(const FolderStamp&) const = default;
};

// The stamp of the folder path names (a path of this system, links followed); false when it
// cannot be read or is no folder.
bool FolderStampOf(const std::string& nativePath, FolderStamp* out);

// Attributes of what path names (as the file system takes it: backslashes are not mapped;
// symbolic links followed); false when they cannot be read.
bool PathAttributes(const std::string& path, EntryAttributes* out);

class DirectoryWalk {
 public:
  DirectoryWalk() = default;
  ~DirectoryWalk() { Close(); }
  DirectoryWalk(const DirectoryWalk&) = delete;
  DirectoryWalk& operator=(const DirectoryWalk&) = delete;

  // Starts the walk of folder (a server path; backslashes are mapped). False when the folder
  // cannot be searched (missing, not a folder, no permission, empty path).
  bool Open(const std::string& folder);
  // The same for a path of this system, whose backslashes are part of its names.
  bool OpenNative(const std::string& nativeFolder);
  // Starts the walk of the folder called name in parent's folder. A symbolic link is followed
  // only when followLink; otherwise it fails like a folder that cannot be searched.
  bool OpenInside(const DirectoryWalk& parent, const char* name, bool followLink);
  // The next entry's name, or nullptr at the end. Valid until the next call. *type (when
  // given): the entry's type as the folder records it, links not followed.
  const char* Next(EntryType* type = nullptr);
  // Attributes of the entry called name in this folder (a symbolic link followed unless
  // followLink is false); false when they cannot be read (the entry vanished).
  bool Attributes(const char* name, EntryAttributes* out, bool followLink = true) const;
  // The type of the entry called name, read afresh, symbolic links followed or not.
  EntryType TypeOf(const char* name, bool followLink) const;
  // What the entry called name leads to, symbolic links followed, read from one descriptor of
  // it (opened without reading or blocking): its type, attributes and absolute path. False when
  // it cannot be opened (it vanished, a link to nothing).
  bool Follow(const char* name, EntryType* type, EntryAttributes* attributes,
              std::string* path) const;
  // The open folder's identity; false when it cannot be read.
  bool Identity(FolderIdentity* out) const;
  // The open folder's stamp; false when it cannot be read.
  bool Stamp(FolderStamp* out) const;
  // The absolute path of the folder this walk has open, as the kernel knows it now; empty when
  // the system cannot tell.
  std::string Path() const;
  void Close();

 private:
  bool Adopt(int fd);

  DIR* dir_ = nullptr;
};

}  // namespace rureza
