// DirectoryWalk: the entries of one folder, one level deep, in the order the file system
// yields them ("." and ".." included, as the server's listing expects to skip them itself).
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
  uint64_t size = 0;  // 0 for a folder
};

class DirectoryWalk {
 public:
  DirectoryWalk() = default;
  ~DirectoryWalk() { Close(); }
  DirectoryWalk(const DirectoryWalk&) = delete;
  DirectoryWalk& operator=(const DirectoryWalk&) = delete;

  // Starts the walk of folder (a server path; backslashes are mapped). False when the folder
  // cannot be searched (missing, not a folder, no permission, empty path).
  bool Open(const std::string& folder);
  // The next entry's name, or nullptr at the end. Valid until the next call.
  const char* Next();
  // Attributes of the entry called name in this folder (symbolic links followed); false when
  // they cannot be read (the entry vanished).
  bool Attributes(const char* name, EntryAttributes* out) const;
  void Close();

 private:
  DIR* dir_ = nullptr;
};

}  // namespace rureza
