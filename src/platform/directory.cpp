#include "platform/directory.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/file.h"

namespace rureza {

bool DirectoryWalk::Open(const std::string& folder) {
  Close();
  if (folder.empty()) return false;
  dir_ = ::opendir(NativePath(folder).c_str());
  return dir_ != nullptr;
}

const char* DirectoryWalk::Next() {
  if (!dir_) return nullptr;
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(dir_);
    if (entry) return entry->d_name;
    if (errno == EINTR) continue;
    return nullptr;
  }
}

bool DirectoryWalk::Attributes(const char* name, EntryAttributes* out) const {
  struct stat info {};
  if (!dir_ || ::fstatat(::dirfd(dir_), name, &info, 0) != 0) return false;
  out->isFolder = S_ISDIR(info.st_mode);
  out->readOnly = (info.st_mode & S_IWUSR) == 0;
  out->size = out->isFolder ? 0 : static_cast<uint64_t>(info.st_size);
  return true;
}

void DirectoryWalk::Close() {
  if (dir_) {
    ::closedir(dir_);
    dir_ = nullptr;
  }
}

}  // namespace rureza
