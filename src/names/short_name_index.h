// ShortNameIndex: which file each short name that a listing gave out stands for, so that a play
// request by short name finds its file at once instead of walking the media folder. The
// process keeps one (ListedShortNames()); it starts empty, so after a restart the first request
// for each name walks.
// Bounded: it counts every byte it allocates (entries, slots, paths) and never holds more than
// kBudgetBytes. A name that would take it past that makes it forget everything it holds and
// start again; a forgotten name is found by walking, as after a restart.
// Each entry holds the file's path (its folder's part kept once for all the files in it) and how
// often its hash was taken again, not the name: a hit is checked by making the name afresh from
// them (the caller's verify).
// Thread safety: every method may be called from any thread (one mutex).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace rureza {

class ShortNameIndex {
 public:
  static constexpr size_t kBudgetBytes = size_t{16} << 20;

  struct Given {
    std::string name;  // the short name as listed
    std::string path;  // the file's path relative to its media folder
    int rehashes = 0;
  };

  // Remembers names given out in the listing of the media folder scope names (its path and
  // kind). A name given before in that scope now stands for the new path.
  void Remember(std::string_view scope, const std::vector<Given>& given);

  // The path that name stands for in scope, when remembered and verify(path, rehashes) agrees.
  std::optional<std::string> Find(
      std::string_view scope, std::string_view name,
      const std::function<bool(std::string_view path, int rehashes)>& verify) const;

  void Clear();
  size_t BytesUsed() const;
  size_t size() const;

 private:
  struct Entry {
    uint64_t key;         // of scope and name
    uint32_t nameOffset;  // of the file's name in the arena
    uint32_t folder;      // index in folders_
    uint16_t nameLength;
    uint8_t scope;  // index in scopes_
    uint8_t rehashes;
  };
  struct Text {
    uint32_t offset;  // in the arena
    uint32_t length;
  };
  static constexpr size_t kChunkBytes = size_t{1} << 20;
  // What a folder costs in folderIds_ besides its text: a node and its share of the buckets.
  static constexpr size_t kFolderOverhead = 64;

  size_t BytesUsedLocked() const;
  void ClearLocked();
  size_t SlotOf(uint64_t key, uint8_t scope) const;
  std::string_view TextOf(Text text) const;
  Text Store(std::string_view bytes);
  uint32_t FolderOf(std::string_view folder);

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;                   // guarded by mutex_
  std::vector<uint32_t> slots_;                  // entry index + 1, 0 free; guarded by mutex_
  std::vector<std::unique_ptr<char[]>> chunks_;  // names and folders; guarded by mutex_
  size_t chunkUsed_ = 0;                         // in the last chunk; guarded by mutex_
  std::vector<Text> folders_;                    // "Artist/Album/"; guarded by mutex_
  std::unordered_map<std::string_view, uint32_t> folderIds_;  // into chunks_; by mutex_
  std::vector<std::string> scopes_;                           // guarded by mutex_
};

// The process's index.
ShortNameIndex& ListedShortNames();

}  // namespace rureza
