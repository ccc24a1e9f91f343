#include "conversion/conversion_cache.h"

#include <sys/stat.h>

#include <cctype>
#include <filesystem>
#include <set>
#include <system_error>

#include "conversion/conversion_stats.h"
#include "platform/directory.h"

namespace rureza {
namespace {

constexpr char kStoreName[] = "store.db";
constexpr char kEntryEnding[] = ".entry";
constexpr char kPartEnding[] = ".part";

// "<digits><ending>": the only files of the folder the cache ever deletes, besides its store.
bool NumberedName(std::string_view name, std::string_view ending, int64_t* number) {
  if (name.size() <= ending.size() || !name.ends_with(ending)) return false;
  const std::string_view digits = name.substr(0, name.size() - ending.size());
  if (digits.size() > 18) return false;
  *number = 0;
  for (char c : digits) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    *number = *number * 10 + (c - '0');
  }
  return true;
}

int64_t FileLength(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return info.st_size;
}

// Every file of the cache's own in folder; the store last.
void DeleteCacheFiles(const std::string& folder) {
  DirectoryWalk walk;
  std::vector<std::string> doomed;
  if (walk.Open(folder)) {
    while (const char* name = walk.Next()) {
      int64_t number;
      if (NumberedName(name, kEntryEnding, &number) || NumberedName(name, kPartEnding, &number)) {
        doomed.push_back(folder + "/" + name);
      }
    }
  }
  for (const std::string& path : doomed) RemoveFile(path);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    RemoveFile(folder + "/" + kStoreName + suffix);
  }
}

}  // namespace

std::unique_ptr<ConversionCache> ConversionCache::Open(const std::string& folder, uint64_t bound,
                                                       std::string* problem) {
  std::unique_ptr<ConversionCache> cache(new ConversionCache);
  cache->bound_ = bound;
  MediaStore::Opened how = MediaStore::Opened::kInMemory;
  std::string why;
  auto inMemory = [&](const std::string& text) {
    if (!text.empty()) *problem = "The cache in " + folder + " is not used: " + text;
    cache->store_ = MediaStore::Open("", &how, &why);
    cache->folder_.clear();
    cache->lock_.Close();
    cache->Publish();
    return std::move(cache);
  };
  if (folder.empty()) return inMemory("");
  std::error_code err;
  std::filesystem::create_directories(folder, err);
  if (err) return inMemory(err.message());
  const std::string lockPath = folder + "/lock";
  Status status;
  if (!PathExists(lockPath) && !File::CreateUnlocked(lockPath, 0600, &status).valid() &&
      status.code != EEXIST) {
    return inMemory(status.text);  // the real reason: the folder cannot be written, say
  }
  cache->lock_ = File::OpenExclusive(lockPath, true, &status);
  if (!cache->lock_.valid()) {
    return inMemory(status.code == EBUSY ? "another server uses it" : status.text);
  }
  const std::string storePath = folder + "/" + kStoreName;
  cache->store_ = MediaStore::Open(storePath, &how, &why);
  if (how == MediaStore::Opened::kDamaged || how == MediaStore::Opened::kOutdated) {
    const bool outdated = how == MediaStore::Opened::kOutdated;
    cache->store_.reset();
    DeleteCacheFiles(folder);
    cache->store_ = MediaStore::Open(storePath, &how, &why);
    if (how == MediaStore::Opened::kOnDisk) {
      *problem = "The cache in " + folder +
                 (outdated ? " was made by an earlier version" : " was damaged") +
                 " and is begun anew";
    }
  }
  if (how != MediaStore::Opened::kOnDisk) return inMemory(why);
  cache->folder_ = folder;
  cache->Reconcile();
  std::lock_guard<std::mutex> lock(cache->mutex_);
  cache->MakeRoom(0);  // a smaller bound than the last run's
  cache->Publish();
  return cache;
}

ConversionCache::~ConversionCache() = default;

std::string ConversionCache::EntryPath(int64_t id) const {
  return folder_ + "/" + std::to_string(id) + kEntryEnding;
}

void ConversionCache::Reconcile() {
  std::set<int64_t> ids;
  for (const auto& [key, entry] : store_->EntriesByAge()) {
    if (entry.length <= 0 || FileLength(EntryPath(entry.id)) != entry.length) {
      store_->RemoveEntry(key);
    } else {
      ids.insert(entry.id);
    }
  }
  DirectoryWalk walk;
  std::vector<std::string> doomed;
  if (walk.Open(folder_)) {
    while (const char* name = walk.Next()) {
      int64_t number;
      if (NumberedName(name, kPartEnding, &number) ||
          (NumberedName(name, kEntryEnding, &number) && ids.count(number) == 0)) {
        doomed.push_back(folder_ + "/" + name);
      }
    }
  }
  for (const std::string& path : doomed) RemoveFile(path);
}

File ConversionCache::Find(const std::string& key, int64_t* length) {
  ConversionStats& stats = ProcessConversionStats();
  const std::optional<CacheEntry> entry = store_->Entry(key);
  if (!entry || folder_.empty()) {
    stats.cacheMisses.fetch_add(1, std::memory_order_relaxed);
    return File();
  }
  File file = File::OpenShared(EntryPath(entry->id));
  if (!file.valid() || file.Length() != entry->length) {
    store_->RemoveEntry(key);
    RemoveFile(EntryPath(entry->id));
    stats.cacheMisses.fetch_add(1, std::memory_order_relaxed);
    Publish();
    return File();
  }
  stats.cacheHits.fetch_add(1, std::memory_order_relaxed);
  store_->Played(key);
  *length = entry->length;
  return file;
}

bool ConversionCache::MakeRoom(int64_t length) {
  if (length < 0 || static_cast<uint64_t>(length) > bound_) return false;
  auto fits = [&] {
    return static_cast<uint64_t>(store_->EntryBytes() + partBytes_ + length) <= bound_;
  };
  for (const auto& [key, entry] : store_->EntriesByAge()) {
    if (fits()) break;
    store_->RemoveEntry(key);
    RemoveFile(EntryPath(entry.id));
  }
  return fits();
}

bool ConversionCache::Reserve(int64_t length) {
  if (folder_.empty() || !MakeRoom(length)) return false;
  partBytes_ += length;
  return true;
}

ConversionCache::Part ConversionCache::Begin(int64_t length) {
  Part part;
  part.length = length;
  std::lock_guard<std::mutex> lock(mutex_);
  const bool room = Reserve(length);
  Publish();
  if (!room) return part;
  part.reserved = length;
  part.path = folder_ + "/" + std::to_string(++nextPart_) + kPartEnding;
  part.file = File::CreateUnlocked(part.path, 0600);
  if (!part.file.valid() || !part.file.Reserve(length)) {
    part.file.Close();
    RemoveFile(part.path);
    part.path.clear();
    partBytes_ -= part.reserved;
    part.reserved = 0;
  }
  return part;
}

ConversionCache::Part ConversionCache::Scratch(int64_t length, int64_t from) {
  Part part;
  part.length = length;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Reserve(length - from)) return part;
  part.reserved = length - from;
  part.file = File::CreateAnonymous(folder_, nullptr, /*inMemory=*/false);
  if (!part.file.valid() || !part.file.Reserve(length, from)) {
    part.file.Close();
    partBytes_ -= part.reserved;
    part.reserved = 0;
  }
  return part;
}

bool ConversionCache::Keep(Part& part, const std::string& key) {
  if (part.path.empty()) {
    Drop(part);
    return false;
  }
  bool kept = false;
  if (part.file.Sync()) {
    const int64_t id = store_->AddEntry(key, part.length);
    kept = id != 0 && RenameFile(part.path, EntryPath(id)).ok();
    if (id != 0 && !kept) store_->RemoveEntry(key);
    // Written a few frames at a time; plays from the cache read it afresh, as a file.
    if (kept) part.file.ForgetCachedPages();
  }
  if (!kept) RemoveFile(part.path);
  Publish();
  std::lock_guard<std::mutex> lock(mutex_);
  partBytes_ -= part.reserved;
  part.reserved = 0;
  part.path.clear();
  return kept;
}

void ConversionCache::Drop(Part& part) {
  if (!part.path.empty()) RemoveFile(part.path);
  part.path.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  partBytes_ -= part.reserved;
  part.reserved = 0;
}

void ConversionCache::Publish() {
  if (!store_) return;
  ConversionStats& stats = ProcessConversionStats();
  stats.cacheEntries.store(store_->EntryCount(), std::memory_order_relaxed);
  stats.cacheBytes.store(store_->EntryBytes(), std::memory_order_relaxed);
  stats.cacheBound.store(folder_.empty() ? 0 : bound_, std::memory_order_relaxed);
}

int64_t ConversionCache::BytesOnDisk() {
  std::lock_guard<std::mutex> lock(mutex_);
  return store_->EntryBytes() + partBytes_;
}

}  // namespace rureza
