#include "platform/directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"
#include "platform/syscalls.h"

namespace rureza {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;

EntryType TypeOfMode(mode_t mode) {
  if (S_ISREG(mode)) return EntryType::kFile;
  if (S_ISDIR(mode)) return EntryType::kFolder;
  if (S_ISLNK(mode)) return EntryType::kLink;
  return EntryType::kOther;
}

int OpenAt(int dir, const char* path, int flags) {
  int fd;
  do {
    fd = Sys().open(dir, path, flags, 0);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void FromStat(const struct stat& info, EntryAttributes* out) {
  out->isFolder = S_ISDIR(info.st_mode);
  out->readOnly = (info.st_mode & S_IWUSR) == 0;
  out->size = out->isFolder ? 0 : static_cast<uint64_t>(info.st_size);
  out->mtimeNs = int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec;
  out->ctimeNs = int64_t{info.st_ctim.tv_sec} * 1'000'000'000 + info.st_ctim.tv_nsec;
  out->device = static_cast<uint64_t>(info.st_dev);
  out->inode = static_cast<uint64_t>(info.st_ino);
}

int64_t Nanoseconds(const timespec& time) {
  return int64_t{time.tv_sec} * 1'000'000'000 + time.tv_nsec;
}

FolderStamp StampOf(const struct stat& info) {
  return FolderStamp{{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)},
                     Nanoseconds(info.st_mtim),
                     Nanoseconds(info.st_ctim)};
}

}  // namespace

bool FolderStampOf(const std::string& nativePath, FolderStamp* out) {
  struct stat info {};
  if (nativePath.empty() || ::stat(nativePath.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return false;
  }
  *out = StampOf(info);
  return true;
}

bool PathAttributes(const std::string& path, EntryAttributes* out) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return false;
  FromStat(info, out);
  return true;
}

bool DirectoryWalk::Adopt(int fd) {
  if (fd < 0) return false;
  dir_ = ::fdopendir(fd);
  if (!dir_) ::close(fd);
  return dir_ != nullptr;
}

bool DirectoryWalk::Open(const std::string& folder) { return OpenNative(NativePath(folder)); }

bool DirectoryWalk::OpenNative(const std::string& nativeFolder) {
  Close();
  if (nativeFolder.empty()) return false;
  return Adopt(OpenAt(AT_FDCWD, nativeFolder.c_str(), kFolderFlags));
}

bool DirectoryWalk::OpenInside(const DirectoryWalk& parent, const char* name, bool followLink) {
  Close();
  if (!parent.dir_) return false;
  const int flags = kFolderFlags | (followLink ? 0 : O_NOFOLLOW);
  return Adopt(OpenAt(::dirfd(parent.dir_), name, flags));
}

const char* DirectoryWalk::Next(EntryType* type) {
  if (!dir_) return nullptr;
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(dir_);
    if (entry) {
      if (type) {
        switch (entry->d_type) {
          case DT_REG:
            *type = EntryType::kFile;
            break;
          case DT_DIR:
            *type = EntryType::kFolder;
            break;
          case DT_LNK:
            *type = EntryType::kLink;
            break;
          case DT_UNKNOWN:
            *type = EntryType::kUnknown;
            break;
          default:
            *type = EntryType::kOther;
            break;
        }
      }
      return entry->d_name;
    }
    if (errno == EINTR) continue;
    return nullptr;
  }
}

bool DirectoryWalk::Attributes(const char* name, EntryAttributes* out, bool followLink) const {
  struct stat info {};
  const int flags = followLink ? 0 : AT_SYMLINK_NOFOLLOW;
  if (!dir_ || ::fstatat(::dirfd(dir_), name, &info, flags) != 0) return false;
  FromStat(info, out);
  return true;
}

EntryType DirectoryWalk::TypeOf(const char* name, bool followLink) const {
  struct stat info {};
  const int flags = followLink ? 0 : AT_SYMLINK_NOFOLLOW;
  if (!dir_ || ::fstatat(::dirfd(dir_), name, &info, flags) != 0) return EntryType::kUnknown;
  return TypeOfMode(info.st_mode);
}

bool DirectoryWalk::Follow(const char* name, EntryType* type, EntryAttributes* attributes,
                           std::string* path) const {
  if (!dir_) return false;
  const int fd = OpenAt(::dirfd(dir_), name, O_PATH | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  const bool known = ::fstat(fd, &info) == 0;
  if (known) {
    *type = TypeOfMode(info.st_mode);
    FromStat(info, attributes);
    *path = DescriptorPath(fd);
  }
  ::close(fd);
  return known;
}

std::string DirectoryWalk::Path() const { return dir_ ? DescriptorPath(::dirfd(dir_)) : ""; }

bool DirectoryWalk::Identity(FolderIdentity* out) const {
  struct stat info {};
  if (!dir_ || ::fstat(::dirfd(dir_), &info) != 0) return false;
  *out = FolderIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  return true;
}

bool DirectoryWalk::Stamp(FolderStamp* out) const {
  struct stat info {};
  if (!dir_ || ::fstat(::dirfd(dir_), &info) != 0) return false;
  *out = StampOf(info);
  return true;
}

void DirectoryWalk::Close() {
  if (dir_) {
    ::closedir(dir_);
    dir_ = nullptr;
  }
}

}  // namespace rureza
