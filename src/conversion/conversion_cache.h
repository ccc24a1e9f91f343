// ConversionCache: converted songs and photos kept on disk, so that a source's next play (also
// after a restart) is an ordinary file. The folder holds the store (media_store.h), a lock
// file, each entry as "<id>.entry" and entries being written as "<n>.part". An entry is
// written whole under its part name, flushed to the disk and only then renamed, so a part is
// never served as a whole entry; a crash leaves a part, which the next start deletes. The
// cache is bounded: before a new entry is begun, the least recently played entries go until
// it fits. At the start every entry is checked against its file, and files no entry names are
// deleted; a store that is damaged is deleted with every entry and begun anew.
// One process uses a folder at a time (the lock file): another finds it taken and keeps
// nothing on disk, as does a cache whose folder cannot be written. Without the disk, parts are
// files without a name that vanish when the last reader lets go.
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "conversion/media_store.h"
#include "platform/file.h"

namespace rureza {

class ConversionCache {
 public:
  // The cache in folder (created as needed; empty: nothing on disk), holding at most bound
  // bytes of entries. *problem: empty, or why the disk is not used (or was begun anew), for
  // one log line.
  static std::unique_ptr<ConversionCache> Open(const std::string& folder, uint64_t bound,
                                               std::string* problem);
  ~ConversionCache();

  MediaStore& store() { return *store_; }
  bool onDisk() const { return !folder_.empty(); }

  // The whole entry for key, opened read-only at its start, marked as played; invalid when
  // there is none. An entry whose file is missing or has the wrong length is dropped.
  File Find(const std::string& key, int64_t* length);

  // A file to write an entry of length bytes into, with its room on the disk reserved: a part
  // in the cache when the bound allows (after making room), else a file without a name.
  struct Part {
    File file;
    std::string path;  // empty: not in the cache, cannot be kept
    int64_t length = 0;
  };
  Part Begin(int64_t length);
  // The part holds the whole entry for key: flushed, then renamed to the entry. False when it
  // cannot be kept (it is deleted; handles on it stay readable).
  bool Keep(Part& part, const std::string& key);
  // Gives up a part (deleted; handles on it stay readable).
  void Drop(Part& part);

  // A file without a name for the bytes [from, length) of something never kept (a conversion
  // that starts at a seek): room reserved on the disk beside the cache when there is some, else
  // in memory.
  File Scratch(int64_t length, int64_t from);

 private:
  ConversionCache() = default;
  std::string EntryPath(int64_t id) const;
  // Deletes entries that have no file of their length and files that belong to no entry.
  void Reconcile();
  // Drops least recently played entries until length more bytes fit the bound.
  bool MakeRoom(int64_t length);
  // Sets the process's cache figures (conversion_stats.h) from this cache.
  void Publish();

  std::string folder_;  // empty: nothing on disk
  uint64_t bound_ = 0;
  File lock_;
  std::unique_ptr<MediaStore> store_;
  std::mutex mutex_;
  int64_t partBytes_ = 0;  // guarded by mutex_: reserved by parts being written
  uint64_t nextPart_ = 0;  // guarded by mutex_
};

}  // namespace rureza
