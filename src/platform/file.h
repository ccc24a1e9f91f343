// File: a move-only owner of one open regular file, closed exactly once.
// Paths are written the server's way, with backslashes ("folder\name"); the file layer maps
// every '\' to '/' when it touches the file system (NativePath).
// Only regular files can be opened: a folder, FIFO, device or socket counts as "cannot be
// opened", and opening one never blocks.
// Sharing: a shared open takes a shared lock and an exclusive open an exclusive one, both
// without waiting, so an exclusive open fails at once while any other handle of this or
// another cooperating process holds the file (and shared opens fail while it is held
// exclusively).
// Thread safety: one thread uses a File at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/status.h"

namespace rureza {

// The path with every backslash replaced by a slash.
std::string NativePath(const std::string& path);

class File {
 public:
  enum class Whence { kBegin, kCurrent, kEnd };

  File() = default;
  ~File() { Close(); }
  File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Creates a new file (failing if it exists), opened read-write and held exclusively.
  static File CreateNew(const std::string& path, unsigned permissions, Status* error = nullptr);
  // Read-only, shared with other readers and writers.
  static File OpenShared(const std::string& path, Status* error = nullptr);
  // The same for a path as the file system takes it: a backslash is part of a name.
  static File OpenSharedNative(const std::string& nativePath, Status* error = nullptr);
  // Creates a new file (failing if it exists), opened read-write without any lock, so that
  // readers can open it shared while it is being written.
  static File CreateUnlocked(const std::string& path, unsigned permissions,
                             Status* error = nullptr);
  // A read-write file without a name, gone when the last handle closes: in folder when the file
  // system there allows (and folder is not empty), else in memory (unless inMemory is false:
  // then invalid).
  static File CreateAnonymous(const std::string& folder, Status* error = nullptr,
                              bool inMemory = true);
  // Read-only (or read-write), held by nobody else. A file whose owner-write permission bit
  // is clear counts as read-only and cannot be opened for writing, even by root.
  static File OpenExclusive(const std::string& path, bool forWriting, Status* error = nullptr);

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Length in bytes, -1 on failure.
  int64_t Length() const;
  // New position, -1 on failure (the position is then unchanged).
  int64_t Seek(int64_t offset, Whence whence = Whence::kBegin);
  int64_t Position() const;
  // Reads up to length bytes, fewer only at the end of the file. -1 on a read error (bytes read
  // before it are lost to the caller; the position is then unknown).
  int64_t Read(void* buffer, size_t length);
  // Writes all length bytes; false on failure.
  bool Write(const void* data, size_t length);
  // Writes all length bytes at offset, leaving the position alone; false on failure.
  bool WriteAt(const void* data, size_t length, int64_t offset);
  // Flushes written data to the disk.
  bool Sync();
  // Lets the system forget the file's pages it holds in memory (written ones must be flushed
  // first): the next reads fetch them afresh, in the large pieces a whole file is read in, where
  // pages written a few kilobytes at a time stay small and slow every later sendfile of them.
  void ForgetCachedPages();
  // Gives the file's bytes [from, length) disk space now (its length becomes at least length),
  // so that writing them cannot fail for want of space; false when the space is not there.
  bool Reserve(int64_t length, int64_t from = 0);
  // A second, read-only handle on the same file with a position of its own (also for a file
  // without a name). Invalid on failure.
  File Reopen(Status* error = nullptr) const;
  // A second handle on the same open file: the same access and the same position. Invalid on
  // failure.
  File Duplicate() const;
  // The permission bits (mode & 07777), 0 on failure.
  unsigned Permissions() const;
  bool SetPermissions(unsigned permissions);
  // The absolute path of the file this handle has open, symbolic links resolved; empty when the
  // system cannot tell.
  std::string RealPath() const;

  void Close();

 private:
  explicit File(int fd) : fd_(fd) {}
  static File Open(const std::string& nativePath, bool forWriting, bool exclusive, Status* error);

  int fd_ = -1;
};

// Replaces to by from in one step (rename).
Status RenameFile(const std::string& from, const std::string& to);
void RemoveFile(const std::string& path);
bool IsFolder(const std::string& path);
// Ok when path names a folder whose entries can be listed and opened; else why not (ENOENT for
// an empty path).
Status CheckFolderReadable(const std::string& path);
// True when something is at path (symbolic links followed).
bool PathExists(const std::string& path);
// The absolute path with every symbolic link, "." and ".." resolved; empty when some part of it
// is missing or cannot be searched. path as the file system takes it (backslashes not mapped).
std::string RealPath(const std::string& path);
// The absolute path of what the open descriptor fd stands for, as the kernel knows it now;
// empty when the system cannot tell.
std::string DescriptorPath(int fd);
// The process's current directory, empty when it cannot be read.
std::string CurrentDirectory();

}  // namespace rureza
