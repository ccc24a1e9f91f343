// ConversionCache: converted songs and photos kept on disk, so that a source's next play (also
// after a restart) is an ordinary file. The folder holds the store (media_store.h), a lock
// file, each entry as "<id>.entry" and entries being written as "<n>.part". An entry is
// written whole under its part name, flushed to the disk and only then renamed, so a part is
// never served as a whole entry; a crash leaves a part, which the next start deletes.
// The bound holds for everything the cache puts on the disk: entries, parts being written and
// the files without a name that conversions started at a seek write into. Room for a part or
// such a file is made by dropping the least recently played entries first; where there is none
// within the bound (or on the disk), the caller converts into memory instead (a bounded ring).
// At the start every entry is checked against its file, files no entry names are deleted, and
// the entries are trimmed to the bound (with a bound of 0, none stays); a store that is damaged,
// or of an earlier version, is deleted with every entry and begun anew.
// One process uses a folder at a time (the lock file): another finds it taken and keeps
// nothing on disk, as does a cache whose folder cannot be written.
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

  // A file for the bytes [from, length) of a conversion, with its room on the disk reserved
  // and counted against the bound until Keep or Drop: a part in the cache that can be kept as
  // an entry (named), or a file without a name that cannot. Invalid (file) when there is no
  // room within the bound or on the disk, or no disk.
  struct Part {
    File file;
    std::string path;      // a named part's; empty for one without a name
    int64_t length = 0;    // of the entry it is to become
    int64_t reserved = 0;  // counted against the bound
  };
  Part Begin(int64_t length);
  Part Scratch(int64_t length, int64_t from);
  // The named part holds the whole entry for key: flushed, then renamed to the entry. False when
  // it cannot be kept (it is deleted; handles on it stay readable). Its room is let go of.
  bool Keep(Part& part, const std::string& key);
  // Gives up a part and its room (deleted; handles on it stay readable).
  void Drop(Part& part);

  // The bytes the bound counts now: entries, parts, files without a name.
  int64_t BytesOnDisk();

 private:
  ConversionCache() = default;
  std::string EntryPath(int64_t id) const;
  // Deletes entries that have no file of their length and files that belong to no entry.
  void Reconcile();
  // Drops least recently played entries until length more bytes fit the bound. REQUIRES: mutex_.
  bool MakeRoom(int64_t length);
  // Reserves length bytes within the bound, making room. REQUIRES: mutex_.
  bool Reserve(int64_t length);
  // Sets the process's cache figures (conversion_stats.h) from this cache.
  void Publish();

  std::string folder_;  // empty: nothing on disk
  uint64_t bound_ = 0;
  File lock_;
  std::unique_ptr<MediaStore> store_;
  std::mutex mutex_;
  int64_t partBytes_ = 0;  // guarded by mutex_: reserved by parts, named or not
  uint64_t nextPart_ = 0;  // guarded by mutex_
};

}  // namespace rureza
