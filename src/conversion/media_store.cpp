#include "conversion/media_store.h"

#include <sys/stat.h>

#include <algorithm>

#include "platform/file.h"

namespace rureza {
namespace {

// 3: videos' facts.
constexpr int kStoreVersion = 3;

constexpr char kSchema[] =
    "CREATE TABLE measured(path BLOB PRIMARY KEY, size INTEGER NOT NULL, mtime INTEGER NOT NULL,"
    " ctime INTEGER NOT NULL, device INTEGER NOT NULL, inode INTEGER NOT NULL,"
    " kind INTEGER NOT NULL, samples INTEGER, rate INTEGER, channels INTEGER, width INTEGER,"
    " height INTEGER, needs INTEGER, why BLOB, duration INTEGER, aspect INTEGER, frames INTEGER,"
    " flags INTEGER) WITHOUT ROWID;"
    "CREATE TABLE entries(id INTEGER PRIMARY KEY AUTOINCREMENT, key BLOB UNIQUE NOT NULL,"
    " length INTEGER NOT NULL, played INTEGER NOT NULL);"
    "PRAGMA user_version = 3;";

// A video's flags in one column.
constexpr int64_t kHasVideo = 1, kHasAudio = 2, kHasSubtitles = 4, kPlayable = 8;
// Two 32-bit values (a ratio) in one column.
int64_t Pair(uint32_t high, uint32_t low) {
  return static_cast<int64_t>(uint64_t{high} << 32 | low);
}
uint32_t High(int64_t pair) { return static_cast<uint32_t>(static_cast<uint64_t>(pair) >> 32); }
uint32_t Low(int64_t pair) { return static_cast<uint32_t>(pair); }

// A prepared statement, finalized once.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (db != nullptr) code_ = sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr);
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return statement_ != nullptr; }
  int code() const { return code_; }
  Statement& Bind(int index, int64_t value) {
    if (ok()) sqlite3_bind_int64(statement_, index, value);
    return *this;
  }
  Statement& Bind(int index, const std::string& text) {
    if (ok()) {
      sqlite3_bind_blob(statement_, index, text.data(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT);
    }
    return *this;
  }
  // True while there is a row.
  bool Step() {
    if (!ok()) return false;
    code_ = sqlite3_step(statement_);
    return code_ == SQLITE_ROW;
  }
  bool Run() {
    Step();
    return code_ == SQLITE_DONE;
  }
  int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
  std::string Blob(int column) const {
    const void* data = sqlite3_column_blob(statement_, column);
    const int length = sqlite3_column_bytes(statement_, column);
    return data != nullptr ? std::string(static_cast<const char*>(data), length) : std::string();
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
  int code_ = SQLITE_MISUSE;
};

bool IsDamage(int code) {
  code &= 0xff;
  return code == SQLITE_NOTADB || code == SQLITE_CORRUPT || code == SQLITE_ERROR ||
         code == SQLITE_SCHEMA || code == SQLITE_MISMATCH;
}

bool Sensible(const Measurement& m) {
  switch (m.kind) {
    case Measurement::Kind::kSong:
      return m.song.sampleRate > 0 && m.song.channels > 0;
    case Measurement::Kind::kPhoto:
      return m.photo.width > 0 && m.photo.height > 0;
    case Measurement::Kind::kVideo:
      return m.video.durationMs > 0 && (m.video.hasVideo || m.video.hasAudio);
    case Measurement::Kind::kUnreadable:
      return true;
  }
  return false;
}

}  // namespace

namespace {

SourceStamp StampFrom(const struct stat& info) {
  return {info.st_size, int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec,
          int64_t{info.st_ctim.tv_sec} * 1'000'000'000 + info.st_ctim.tv_nsec,
          static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

}  // namespace

SourceStamp StampOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
  return StampFrom(info);
}

SourceStamp StampOf(const File& file) {
  struct stat info {};
  if (!file.valid() || ::fstat(file.fd(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
  return StampFrom(info);
}

std::unique_ptr<MediaStore> MediaStore::Open(const std::string& path, Opened* how,
                                             std::string* problem) {
  std::unique_ptr<MediaStore> store(new MediaStore);
  *how = Opened::kInMemory;
  if (path.empty()) return store;
  int code =
      sqlite3_open_v2(path.c_str(), &store->db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  auto fail = [&](Opened outcome, const std::string& why) {
    *problem = why;
    *how = outcome;
    sqlite3_close(store->db_);
    store->db_ = nullptr;
    return std::move(store);
  };
  if (code != SQLITE_OK) return fail(Opened::kInMemory, sqlite3_errstr(code));
  sqlite3_busy_timeout(store->db_, 2000);
  {
    Statement check(store->db_, "PRAGMA quick_check");
    const bool stepped = check.Step();
    if (!check.ok() || !stepped || check.Blob(0) != "ok") {
      const int err = sqlite3_extended_errcode(store->db_);
      if (check.ok() && stepped) return fail(Opened::kDamaged, "the store fails its check");
      if (IsDamage(err)) return fail(Opened::kDamaged, sqlite3_errmsg(store->db_));
      return fail(Opened::kInMemory, sqlite3_errmsg(store->db_));
    }
  }
  int64_t version = -1, tables = -1;
  {
    Statement v(store->db_, "PRAGMA user_version");
    if (v.Step()) version = v.Int(0);
    Statement t(store->db_, "SELECT count(*) FROM sqlite_master");
    if (t.Step()) tables = t.Int(0);
  }
  if (version == 0 && tables == 0) {
    if (!store->Exec(kSchema)) return fail(Opened::kInMemory, sqlite3_errmsg(store->db_));
  } else if (version >= 1 && version < kStoreVersion) {
    return fail(Opened::kOutdated, "an earlier version made it");
  } else if (version != kStoreVersion) {
    return fail(Opened::kDamaged, "the store is of another version");
  }
  {
    Statement wal(store->db_, "PRAGMA journal_mode=WAL");
    if (!wal.Step() || wal.Blob(0) != "wal") {
      return fail(Opened::kInMemory, "the store cannot keep a log beside it");
    }
  }
  if (!store->Exec("PRAGMA synchronous=NORMAL") || !store->Exec("BEGIN IMMEDIATE") ||
      !store->Exec("COMMIT")) {
    return fail(Opened::kInMemory, sqlite3_errmsg(store->db_));
  }
  if (!store->Load()) return fail(Opened::kDamaged, "the store's tables are not ours");
  *how = Opened::kOnDisk;
  return store;
}

MediaStore::~MediaStore() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    SavePlaysLocked();
  }
  sqlite3_close(db_);
}

void MediaStore::SavePlaysLocked() {
  if (db_ == nullptr || unsavedPlays_.empty()) return;
  const bool inTransaction = Exec("BEGIN");
  for (const std::string& key : unsavedPlays_) {
    auto it = entries_.find(key);
    if (it == entries_.end()) continue;
    Statement(db_, "UPDATE entries SET played = ? WHERE key = ?")
        .Bind(1, it->second.played)
        .Bind(2, key)
        .Run();
  }
  if (inTransaction) Exec("COMMIT");
  unsavedPlays_.clear();
}

bool MediaStore::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool MediaStore::Load() {
  Statement rows(db_,
                 "SELECT path, size, mtime, ctime, device, inode, kind, samples, rate, channels,"
                 " width, height, needs, why, duration, aspect, frames, flags FROM measured");
  if (!rows.ok()) return false;
  std::vector<std::string> senseless;
  while (rows.Step()) {
    Measurement m;
    m.stamp = {rows.Int(1), rows.Int(2), rows.Int(3), static_cast<uint64_t>(rows.Int(4)),
               static_cast<uint64_t>(rows.Int(5))};
    m.kind = static_cast<Measurement::Kind>(rows.Int(6));
    m.song = {static_cast<uint64_t>(rows.Int(7)), static_cast<uint32_t>(rows.Int(8)),
              static_cast<uint32_t>(rows.Int(9))};
    m.photo = {static_cast<uint32_t>(rows.Int(10)), static_cast<uint32_t>(rows.Int(11)),
               rows.Int(12) != 0};
    m.why = rows.Blob(13);
    if (m.kind == Measurement::Kind::kVideo) {
      const int64_t flags = rows.Int(17);
      m.video = {static_cast<uint64_t>(rows.Int(14)),
                 m.photo.width,
                 m.photo.height,
                 High(rows.Int(15)),
                 Low(rows.Int(15)),
                 High(rows.Int(16)),
                 Low(rows.Int(16)),
                 (flags & kHasVideo) != 0,
                 (flags & kHasAudio) != 0,
                 (flags & kHasSubtitles) != 0,
                 (flags & kPlayable) != 0};
    }
    if (rows.Int(6) < 1 || rows.Int(6) > 4 || !Sensible(m)) {
      senseless.push_back(rows.Blob(0));
    } else {
      measured_[rows.Blob(0)] = m;
    }
  }
  if (rows.code() != SQLITE_DONE) return false;
  Statement entries(db_, "SELECT key, id, length, played FROM entries");
  if (!entries.ok()) return false;
  while (entries.Step()) {
    const CacheEntry entry{entries.Int(1), entries.Int(2), entries.Int(3)};
    // Entries that make no sense are dropped by the cache, which knows their files.
    entries_[entries.Blob(0)] = entry;
    entryBytes_ += std::max<int64_t>(entry.length, 0);
    lastPlayed_ = std::max(lastPlayed_, entry.played);
  }
  if (entries.code() != SQLITE_DONE) return false;
  for (const std::string& path : senseless) {
    Statement(db_, "DELETE FROM measured WHERE path = ?").Bind(1, path).Run();
  }
  return true;
}

std::optional<Measurement> MediaStore::Measured(const std::string& path, SourceStamp stamp) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = measured_.find(path);
  if (it == measured_.end() || !(it->second.stamp == stamp)) return std::nullopt;
  return it->second;
}

void MediaStore::Remember(const std::vector<std::pair<std::string, Measurement>>& measured) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool inTransaction = db_ != nullptr && Exec("BEGIN");
  for (const auto& [path, m] : measured) {
    measured_[path] = m;
    if (db_ == nullptr) continue;
    const bool video = m.kind == Measurement::Kind::kVideo;
    Statement(db_,
              "INSERT OR REPLACE INTO measured(path, size, mtime, ctime, device, inode, kind,"
              " samples, rate, channels, width, height, needs, why, duration, aspect, frames,"
              " flags) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
        .Bind(1, path)
        .Bind(2, m.stamp.size)
        .Bind(3, m.stamp.mtimeNs)
        .Bind(4, m.stamp.ctimeNs)
        .Bind(5, static_cast<int64_t>(m.stamp.device))
        .Bind(6, static_cast<int64_t>(m.stamp.inode))
        .Bind(7, static_cast<int64_t>(m.kind))
        .Bind(8, static_cast<int64_t>(m.song.samples))
        .Bind(9, m.song.sampleRate)
        .Bind(10, m.song.channels)
        .Bind(11, video ? m.video.width : m.photo.width)
        .Bind(12, video ? m.video.height : m.photo.height)
        .Bind(13, m.photo.needsConversion ? 1 : 0)
        .Bind(14, m.why)
        .Bind(15, static_cast<int64_t>(m.video.durationMs))
        .Bind(16, Pair(m.video.sampleAspectNum, m.video.sampleAspectDen))
        .Bind(17, Pair(m.video.frameRateNum, m.video.frameRateDen))
        .Bind(18, (m.video.hasVideo ? kHasVideo : 0) | (m.video.hasAudio ? kHasAudio : 0) |
                      (m.video.hasSubtitles ? kHasSubtitles : 0) |
                      (m.video.playable ? kPlayable : 0))
        .Run();
  }
  if (inTransaction) Exec("COMMIT");
}

std::optional<CacheEntry> MediaStore::Entry(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

int64_t MediaStore::AddEntry(const std::string& key, int64_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Entries live on disk only: the next start could not tell whose a file was otherwise.
  if (db_ == nullptr || entries_.count(key) != 0) return 0;
  CacheEntry entry{0, length, ++lastPlayed_};
  Statement insert(db_, "INSERT INTO entries(key, length, played) VALUES (?, ?, ?)");
  if (!insert.Bind(1, key).Bind(2, length).Bind(3, entry.played).Run()) return 0;
  entry.id = sqlite3_last_insert_rowid(db_);
  entries_[key] = entry;
  entryBytes_ += length;
  return entry.id;
}

void MediaStore::Played(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return;
  it->second.played = ++lastPlayed_;
  unsavedPlays_.insert(key);
  if (unsavedPlays_.size() >= kPlaysPerSave) SavePlaysLocked();
}

void MediaStore::RemoveEntry(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return;
  entryBytes_ -= std::max<int64_t>(it->second.length, 0);
  entries_.erase(it);
  unsavedPlays_.erase(key);
  if (db_ != nullptr) Statement(db_, "DELETE FROM entries WHERE key = ?").Bind(1, key).Run();
}

std::vector<std::pair<std::string, CacheEntry>> MediaStore::EntriesByAge() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::pair<std::string, CacheEntry>> all(entries_.begin(), entries_.end());
  std::sort(all.begin(), all.end(),
            [](const auto& a, const auto& b) { return a.second.played < b.second.played; });
  return all;
}

int64_t MediaStore::EntryCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int64_t>(entries_.size());
}

int64_t MediaStore::EntryBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entryBytes_;
}

}  // namespace rureza
