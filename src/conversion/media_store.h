// MediaStore: what the server remembers across restarts about the sources it converts: what
// each source's header said (keyed by its path, valid for the size and modification time it
// had), and the conversion cache's entries (one converted file per source version and
// conversion shape: its length and when it was last played).
// An SQLite database in WAL mode (synchronous=NORMAL): a crash or power cut loses at most the
// last changes, never the database, and readers never wait for a writer. It is loaded whole
// into memory when opened, so a listing's thousands of lookups are hash lookups; every change is
// written through, except when entries were played: those are written kPlaysPerSave at a time
// (and when the store closes), so a play from the cache costs no write to the disk, and a crash
// forgets at most the order of the last few plays. Rows that make no sense are dropped as they
// are read.
// Thread safety: every method may be called from any thread (one mutex).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "conversion/converter_protocol.h"
#include "platform/file.h"

namespace rureza {

// One version of a source file: which file it is (device and inode), its size, and when its
// contents (modification time) or anything about it (change time: a replacement by rename, a
// copy that kept the old modification time) last changed. Any replacement changes it.
struct SourceStamp {
  int64_t size = -1;  // -1: the file cannot be read
  int64_t mtimeNs = 0;
  int64_t ctimeNs = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const SourceStamp&) const = default;
};

// The stamp of the file at path, a path of this system (a backslash is part of a name; symbolic
// links followed), or of an open file.
SourceStamp StampOf(const std::string& path);
SourceStamp StampOf(const File& file);

struct Measurement {
  enum class Kind { kSong = 1, kPhoto = 2, kUnreadable = 3, kVideo = 4 };
  Kind kind = Kind::kUnreadable;
  SourceStamp stamp;
  SongFacts song;    // kSong
  PhotoFacts photo;  // kPhoto
  VideoFacts video;  // kVideo
  std::string why;   // kUnreadable: why it cannot be played
};

struct CacheEntry {
  int64_t id = 0;  // names the entry's file
  int64_t length = 0;
  int64_t played = 0;  // larger: played more recently
};

class MediaStore {
 public:
  enum class Opened { kOnDisk, kDamaged, kOutdated, kInMemory };
  // Opens or creates the database at path (empty: memory only). kDamaged: the file is not a
  // database of ours or fails its check; kOutdated: an earlier version's (its stamps say less);
  // in both, nothing was changed, and the store works in memory.
  // kInMemory: it cannot be opened or written there (*problem says why).
  static std::unique_ptr<MediaStore> Open(const std::string& path, Opened* how,
                                          std::string* problem);
  ~MediaStore();
  MediaStore(const MediaStore&) = delete;
  MediaStore& operator=(const MediaStore&) = delete;

  // What was measured of the source at path, when it still has stamp.
  std::optional<Measurement> Measured(const std::string& path, SourceStamp stamp) const;
  // Remembers measurements, all in one transaction.
  void Remember(const std::vector<std::pair<std::string, Measurement>>& measured);

  std::optional<CacheEntry> Entry(const std::string& key) const;
  // Adds an entry played just now; its id (0 when it cannot be added).
  int64_t AddEntry(const std::string& key, int64_t length);
  // Marks the entry as played just now.
  static constexpr size_t kPlaysPerSave = 64;
  void Played(const std::string& key);
  void RemoveEntry(const std::string& key);
  // Every entry, least recently played first.
  std::vector<std::pair<std::string, CacheEntry>> EntriesByAge() const;
  int64_t EntryBytes() const;
  int64_t EntryCount() const;

 private:
  MediaStore() = default;
  bool Load();
  bool Exec(const char* sql);
  // Writes the plays not written yet, in one transaction.
  void SavePlaysLocked();

  mutable std::mutex mutex_;
  sqlite3* db_ = nullptr;                                  // guarded by mutex_
  std::unordered_map<std::string, Measurement> measured_;  // guarded by mutex_
  std::unordered_map<std::string, CacheEntry> entries_;    // guarded by mutex_
  int64_t entryBytes_ = 0;                                 // guarded by mutex_
  int64_t lastPlayed_ = 0;                                 // guarded by mutex_
  std::unordered_set<std::string> unsavedPlays_;           // guarded by mutex_: entries' keys
};

}  // namespace rureza
