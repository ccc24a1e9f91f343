#include "names/short_name_index.h"

#include <algorithm>
#include <cstring>

#include "names/short_names.h"

namespace rureza {
namespace {

constexpr size_t kFirstSlots = 1024;

}  // namespace

ShortNameIndex& ListedShortNames() {
  static ShortNameIndex* index = new ShortNameIndex;  // never destroyed: threads may outlive main
  return *index;
}

size_t ShortNameIndex::BytesUsedLocked() const {
  size_t bytes = entries_.capacity() * sizeof(Entry) + slots_.capacity() * sizeof(uint32_t) +
                 chunks_.capacity() * sizeof(chunks_[0]) + chunks_.size() * kChunkBytes +
                 folders_.capacity() * sizeof(Text) + folderIds_.size() * kFolderOverhead +
                 folderIds_.bucket_count() * sizeof(void*);
  for (const std::string& scope : scopes_) bytes += sizeof scope + scope.capacity();
  return bytes;
}

size_t ShortNameIndex::BytesUsed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return BytesUsedLocked();
}

size_t ShortNameIndex::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

void ShortNameIndex::ClearLocked() {
  std::vector<Entry>().swap(entries_);
  std::vector<uint32_t>().swap(slots_);
  std::unordered_map<std::string_view, uint32_t>().swap(folderIds_);
  std::vector<Text>().swap(folders_);
  std::vector<std::unique_ptr<char[]>>().swap(chunks_);
  std::vector<std::string>().swap(scopes_);
  chunkUsed_ = 0;
}

void ShortNameIndex::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearLocked();
}

std::string_view ShortNameIndex::TextOf(Text text) const {
  return std::string_view(chunks_[text.offset / kChunkBytes].get() + text.offset % kChunkBytes,
                          text.length);
}

ShortNameIndex::Text ShortNameIndex::Store(std::string_view bytes) {
  if (chunks_.empty() || chunkUsed_ + bytes.size() > kChunkBytes) {
    chunks_.push_back(std::unique_ptr<char[]>(new char[kChunkBytes]));
    chunkUsed_ = 0;
  }
  const Text text{static_cast<uint32_t>((chunks_.size() - 1) * kChunkBytes + chunkUsed_),
                  static_cast<uint32_t>(bytes.size())};
  if (!bytes.empty()) std::memcpy(chunks_.back().get() + chunkUsed_, bytes.data(), bytes.size());
  chunkUsed_ += bytes.size();
  return text;
}

uint32_t ShortNameIndex::FolderOf(std::string_view folder) {
  auto found = folderIds_.find(folder);
  if (found != folderIds_.end()) return found->second;
  folders_.push_back(Store(folder));
  const auto id = static_cast<uint32_t>(folders_.size() - 1);
  folderIds_.emplace(TextOf(folders_.back()), id);  // the chunks never move
  return id;
}

// The slot holding the entry of key in scope, or the free slot where it would go.
size_t ShortNameIndex::SlotOf(uint64_t key, uint8_t scope) const {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = key & mask;; slot = (slot + 1) & mask) {
    const uint32_t held = slots_[slot];
    if (held == 0) return slot;
    const Entry& entry = entries_[held - 1];
    if (entry.key == key && entry.scope == scope) return slot;
  }
}

void ShortNameIndex::Remember(std::string_view scope, const std::vector<Given>& given) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Given& g : given) {
    const size_t slash = g.path.rfind('/');
    const std::string_view folder = slash == std::string::npos
                                        ? std::string_view()
                                        : std::string_view(g.path).substr(0, slash + 1);
    const std::string_view name = std::string_view(g.path).substr(folder.size());
    if (g.name.empty() || name.size() > UINT16_MAX || folder.size() > kChunkBytes / 2 ||
        g.rehashes > UINT8_MAX) {
      continue;
    }
    // What this name may add at most: a chunk, a folder, a scope, and the entries and slots
    // doubling.
    const size_t growth =
        kChunkBytes + sizeof(Text) + kFolderOverhead + sizeof(std::string) + scope.size() +
        (entries_.size() == entries_.capacity() ? entries_.capacity() : 1) * sizeof(Entry) +
        slots_.capacity() * sizeof(uint32_t) + (folderIds_.bucket_count() + 1) * sizeof(void*);
    if (BytesUsedLocked() + growth > kBudgetBytes) ClearLocked();
    auto found = std::find(scopes_.begin(), scopes_.end(), scope);
    if (found == scopes_.end()) {
      if (scopes_.size() > UINT8_MAX) ClearLocked();
      scopes_.emplace_back(scope);
      found = scopes_.end() - 1;
    }
    const auto scopeIndex = static_cast<uint8_t>(found - scopes_.begin());
    const uint32_t folderIndex = FolderOf(folder);
    const Entry entry{
        Fnv1a64(g.name, Fnv1a64(scope)),    Store(name).offset, folderIndex,
        static_cast<uint16_t>(name.size()), scopeIndex,         static_cast<uint8_t>(g.rehashes)};
    // At most half the slots in use keeps the probes short.
    if ((entries_.size() + 1) * 2 > slots_.size()) {
      slots_.assign(std::max(kFirstSlots, slots_.size() * 2), 0);
      for (size_t i = 0; i < entries_.size(); ++i) {
        slots_[SlotOf(entries_[i].key, entries_[i].scope)] = static_cast<uint32_t>(i + 1);
      }
    }
    const size_t slot = SlotOf(entry.key, entry.scope);
    if (slots_[slot] != 0) {
      entries_[slots_[slot] - 1] = entry;  // the name it stood for before stays in the arena
    } else {
      entries_.push_back(entry);
      slots_[slot] = static_cast<uint32_t>(entries_.size());
    }
  }
}

std::optional<std::string> ShortNameIndex::Find(
    std::string_view scope, std::string_view name,
    const std::function<bool(std::string_view path, int rehashes)>& verify) const {
  std::string path;
  int rehashes = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = std::find(scopes_.begin(), scopes_.end(), scope);
    if (found == scopes_.end() || slots_.empty()) return std::nullopt;
    const auto scopeIndex = static_cast<uint8_t>(found - scopes_.begin());
    const uint32_t held = slots_[SlotOf(Fnv1a64(name, Fnv1a64(scope)), scopeIndex)];
    if (held == 0) return std::nullopt;
    const Entry& entry = entries_[held - 1];
    path = TextOf(folders_[entry.folder]);
    path += TextOf(Text{entry.nameOffset, entry.nameLength});
    rehashes = entry.rehashes;
  }
  if (!verify(path, rehashes)) return std::nullopt;
  return path;
}

}  // namespace rureza
