#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/syscalls.h"

namespace rureza {

std::string NativePath(const std::string& path) {
  std::string native = path;
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

File File::Open(const std::string& nativePath, bool forWriting, bool exclusive, Status* error) {
  auto fail = [error](int err) {
    if (error) *error = Status::FromErrno(err);
    return File();
  };
  // O_NONBLOCK keeps a FIFO from blocking the open; it is cleared again below.
  int flags = (forWriting ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  int fd;
  do {
    fd = Sys().open(AT_FDCWD, nativePath.c_str(), flags, 0);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(errno);
  File file(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(errno);
  if (S_ISDIR(info.st_mode)) return fail(EISDIR);
  if (!S_ISREG(info.st_mode)) return fail(EINVAL);
  if (forWriting && (info.st_mode & S_IWUSR) == 0) return fail(EACCES);
  if (::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return fail(errno);
  int lock;
  do {
    lock = ::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
  } while (lock != 0 && errno == EINTR);
  if (lock != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
  return file;
}

File File::CreateNew(const std::string& path, unsigned permissions, Status* error) {
  File file = CreateUnlocked(path, permissions, error);
  if (file.valid()) ::flock(file.fd(), LOCK_EX | LOCK_NB);
  return file;
}

File File::CreateUnlocked(const std::string& path, unsigned permissions, Status* error) {
  int fd;
  do {
    fd = Sys().open(AT_FDCWD, NativePath(path).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
                    permissions);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && error) *error = Status::FromErrno(errno);
  return File(fd);
}

File File::CreateAnonymous(const std::string& folder, Status* error, bool inMemory) {
  int fd = -1;
  if (!folder.empty()) {
    do {
      fd = Sys().open(AT_FDCWD, NativePath(folder).c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
  }
  if (fd < 0 && inMemory) fd = ::memfd_create("rureza", MFD_CLOEXEC);
  if (fd < 0 && error) *error = Status::FromErrno(errno);
  return File(fd);
}

File File::OpenShared(const std::string& path, Status* error) {
  return Open(NativePath(path), false, false, error);
}

File File::OpenSharedNative(const std::string& nativePath, Status* error) {
  return Open(nativePath, false, false, error);
}

File File::OpenExclusive(const std::string& path, bool forWriting, Status* error) {
  return Open(NativePath(path), forWriting, true, error);
}

int64_t File::Length() const {
  struct stat info {};
  if (fd_ < 0 || ::fstat(fd_, &info) != 0) return -1;
  return info.st_size;
}

int64_t File::Seek(int64_t offset, Whence whence) {
  int how = whence == Whence::kBegin ? SEEK_SET : whence == Whence::kCurrent ? SEEK_CUR : SEEK_END;
  off_t result = ::lseek(fd_, offset, how);
  return result < 0 ? -1 : result;
}

int64_t File::Position() const {
  off_t result = ::lseek(fd_, 0, SEEK_CUR);
  return result < 0 ? -1 : result;
}

int64_t File::Read(void* buffer, size_t length) {
  char* out = static_cast<char*>(buffer);
  size_t total = 0;
  while (total < length) {
    ssize_t n = Sys().read(fd_, out + total, length - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(total);
}

bool File::WriteAt(const void* data, size_t length, int64_t offset) {
  const char* in = static_cast<const char*>(data);
  size_t total = 0;
  while (total < length) {
    const ssize_t n = ::pwrite(fd_, in + total, length - total, static_cast<off_t>(offset + total));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    total += static_cast<size_t>(n);
  }
  return true;
}

bool File::Write(const void* data, size_t length) {
  const char* in = static_cast<const char*>(data);
  size_t total = 0;
  while (total < length) {
    ssize_t n = Sys().write(fd_, in + total, length - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    total += static_cast<size_t>(n);
  }
  return true;
}

bool File::Sync() { return ::fsync(fd_) == 0; }

void File::ForgetCachedPages() { ::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED); }

bool File::Reserve(int64_t length, int64_t from) {
  return length <= from ||
         ::posix_fallocate(fd_, static_cast<off_t>(from), static_cast<off_t>(length - from)) == 0;
}

File File::Reopen(Status* error) const {
  if (fd_ < 0) {
    if (error) *error = Status::FromErrno(EBADF);
    return File();
  }
  return Open("/proc/self/fd/" + std::to_string(fd_), false, false, error);
}

File File::Duplicate() const { return File(fd_ >= 0 ? ::fcntl(fd_, F_DUPFD_CLOEXEC, 0) : -1); }

unsigned File::Permissions() const {
  struct stat info {};
  if (fd_ < 0 || ::fstat(fd_, &info) != 0) return 0;
  return info.st_mode & 07777;
}

void File::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool File::SetPermissions(unsigned permissions) { return ::fchmod(fd_, permissions) == 0; }

std::string File::RealPath() const { return DescriptorPath(fd_); }

std::string DescriptorPath(int fd) {
  if (fd < 0) return {};
  char target[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = ::readlink(link.c_str(), target, sizeof target);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target || target[0] != '/') return {};
  return std::string(target, static_cast<size_t>(n));
}

Status RenameFile(const std::string& from, const std::string& to) {
  if (::rename(NativePath(from).c_str(), NativePath(to).c_str()) != 0) {
    return Status::FromErrno(errno);
  }
  return Status::Ok();
}

void RemoveFile(const std::string& path) { ::unlink(NativePath(path).c_str()); }

bool IsFolder(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(NativePath(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

Status CheckFolderReadable(const std::string& path) {
  if (path.empty()) return Status::FromErrno(ENOENT);
  const std::string native = NativePath(path);
  int fd;
  do {
    fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Status::FromErrno(errno);
  // Listing needs read permission, opening what is listed needs search permission.
  const int searchable = ::faccessat(fd, ".", X_OK, 0) == 0 ? 0 : errno;
  ::close(fd);
  return searchable ? Status::FromErrno(searchable) : Status::Ok();
}

bool PathExists(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(NativePath(path).c_str(), &info) == 0;
}

std::string RealPath(const std::string& path) {
  if (path.empty()) return {};
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return {};
  std::string text = resolved;
  std::free(resolved);
  return text;
}

std::string CurrentDirectory() {
  std::string buffer(4096, '\0');
  if (!::getcwd(buffer.data(), buffer.size())) return {};
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer;
}

}  // namespace rureza
