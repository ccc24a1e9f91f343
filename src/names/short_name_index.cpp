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
                 chunks_.capacity() * sizeof(chunks_[0]) + chunks_.size() * kChunkBytes;
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
  std::vector<std::unique_ptr<char[]>>().swap(chunks_);
  std::vector<std::string>().swap(scopes_);
  chunkUsed_ = 0;
}

void ShortNameIndex::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearLocked();
}

std::string_view ShortNameIndex::PathOf(const Entry& entry) const {
  return std::string_view(chunks_[entry.offset / kChunkBytes].get() + entry.offset % kChunkBytes,
                          entry.pathLength);
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
    if (g.name.empty() || g.path.size() > UINT16_MAX || g.rehashes > UINT8_MAX) continue;
    // What this name may add at most: a new chunk, the entries and slots doubling, a scope.
    const size_t growth =
        (chunkUsed_ + g.path.size() > kChunkBytes ? kChunkBytes : 0) +
        (entries_.size() == entries_.capacity() ? entries_.capacity() : 1) * sizeof(Entry) +
        slots_.capacity() * sizeof(uint32_t) + sizeof(std::string) + scope.size();
    if (BytesUsedLocked() + growth > kBudgetBytes) ClearLocked();
    auto found = std::find(scopes_.begin(), scopes_.end(), scope);
    if (found == scopes_.end()) {
      if (scopes_.size() > UINT8_MAX) ClearLocked();
      scopes_.emplace_back(scope);
      found = scopes_.end() - 1;
    }
    const auto scopeIndex = static_cast<uint8_t>(found - scopes_.begin());
    if (chunks_.empty() || chunkUsed_ + g.path.size() > kChunkBytes) {
      chunks_.push_back(std::make_unique<char[]>(kChunkBytes));
      chunkUsed_ = 0;
    }
    const auto offset = static_cast<uint32_t>((chunks_.size() - 1) * kChunkBytes + chunkUsed_);
    std::memcpy(chunks_.back().get() + chunkUsed_, g.path.data(), g.path.size());
    chunkUsed_ += g.path.size();
    const Entry entry{Fnv1a64(g.name, Fnv1a64(scope)), offset, static_cast<uint16_t>(g.path.size()),
                      scopeIndex, static_cast<uint8_t>(g.rehashes)};
    // At most half the slots in use keeps the probes short.
    if ((entries_.size() + 1) * 2 > slots_.size()) {
      slots_.assign(std::max(kFirstSlots, slots_.size() * 2), 0);
      for (size_t i = 0; i < entries_.size(); ++i) {
        slots_[SlotOf(entries_[i].key, entries_[i].scope)] = static_cast<uint32_t>(i + 1);
      }
    }
    const size_t slot = SlotOf(entry.key, entry.scope);
    if (slots_[slot] != 0) {
      entries_[slots_[slot] - 1] = entry;  // the path it stood for before stays in the arena
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
    path = PathOf(entries_[held - 1]);
    rehashes = entries_[held - 1].rehashes;
  }
  if (!verify(path, rehashes)) return std::nullopt;
  return path;
}

}  // namespace rureza
