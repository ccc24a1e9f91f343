#include "names/short_names.h"

#include <algorithm>
#include <numeric>
#include <unordered_map>
#include <unordered_set>

namespace rureza {
namespace {

constexpr char kDigits[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

int DigitValue(char c) {
  for (int i = 0; kDigits[i]; ++i) {
    if (kDigits[i] == c) return i;
  }
  return -1;
}

// "~" and the hash digits come this far before the ending.
constexpr size_t kTailSize = 1 + kShortNameHashDigits + kShortNameEndingSize;

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// Spaces, punctuation and control bytes of ASCII: they part words and are never in a tag.
bool IsSeparator(std::string_view character) {
  if (character.size() != 1) return false;
  const auto c = static_cast<unsigned char>(character[0]);
  return c < 0x80 && !IsAsciiDigit(static_cast<char>(c)) && !(c >= 'A' && c <= 'Z') &&
         !(c >= 'a' && c <= 'z');
}

// Spreads a fingerprint's bits over a word (the fingerprints' low bits alone are not even).
uint64_t Mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  return x;
}

// A folder's name as a tag may take it: each character, how the adapter writes it and when.
constexpr int kNeverTaken = 3;
struct TagCharacter {
  std::string bytes;  // in the adapter's character set; empty when it cannot be written
  int rank;           // 0 a digit, 1 a word's first, 2 other, kNeverTaken
};

std::vector<TagCharacter> TagCharacters(AdapterCharset& charset, std::string_view folder) {
  std::vector<TagCharacter> characters;
  bool wordStarts = true;
  while (!folder.empty()) {
    const std::string_view stored = folder.substr(0, Utf8CharacterLength(folder));
    folder.remove_prefix(stored.size());
    TagCharacter character{{}, kNeverTaken};
    const bool separator = IsSeparator(stored);
    if (!separator && charset.ToAdapter(stored, &character.bytes) && !character.bytes.empty()) {
      character.rank = IsAsciiDigit(stored[0]) ? 0 : wordStarts ? 1 : 2;
    } else {
      character.bytes.clear();
    }
    wordStarts = separator;
    characters.push_back(std::move(character));
  }
  return characters;
}

// The characters a tag takes, in their order: the one at first (npos: none), then of those
// before end the digits, the words' firsts and the others, each from the start while it fits
// in room bytes. REQUIRES: first is npos or a character that can be taken.
std::vector<std::string_view> TakeTag(const std::vector<TagCharacter>& characters, size_t end,
                                      size_t first, size_t room = kFolderTagLimit) {
  std::vector<bool> taken(characters.size(), false);
  if (first < characters.size() && characters[first].bytes.size() <= room) {
    taken[first] = true;
    room -= characters[first].bytes.size();
  }
  for (int rank = 0; rank < kNeverTaken; ++rank) {
    for (size_t i = 0; i < end; ++i) {
      if (!taken[i] && characters[i].rank == rank && characters[i].bytes.size() <= room) {
        taken[i] = true;
        room -= characters[i].bytes.size();
      }
    }
  }
  std::vector<std::string_view> tag;
  for (size_t i = 0; i < characters.size(); ++i) {
    if (taken[i]) tag.push_back(characters[i].bytes);
  }
  return tag;
}

std::string TagText(const std::vector<std::string_view>& taken) {
  std::string tag;
  for (std::string_view character : taken) tag.append(character);
  return tag.empty() ? "_" : tag;
}

// How many characters two names begin with alike.
size_t CommonCharacters(std::string_view a, std::string_view b) {
  size_t common = 0;
  for (;; ++common) {
    if (a.empty() || b.empty()) return common;
    const size_t length = Utf8CharacterLength(a);
    if (length != Utf8CharacterLength(b) || a.substr(0, length) != b.substr(0, length)) {
      return common;
    }
    a.remove_prefix(length);
    b.remove_prefix(length);
  }
}

// Folders beside each other still alike after that are numbered up to this.
constexpr int kMostTagNumber = 9999;

constexpr int kFilterProbes = 4;
constexpr size_t kFirstSlots = 1024;

}  // namespace

uint64_t Fnv1a64(std::string_view bytes, uint64_t hash) {
  for (char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

uint64_t PathHash(std::string_view path, int rehashes) {
  uint64_t hash = Fnv1a64(path);
  for (int i = 0; i < rehashes; ++i) hash = NextRehash(hash);
  return hash;
}

uint32_t FoldedHash(uint64_t hash) {
  return static_cast<uint32_t>(hash ^ (hash >> 32)) & ((1u << (5 * kShortNameHashDigits)) - 1);
}

std::string HashDigits(uint64_t hash) {
  uint32_t folded = FoldedHash(hash);
  std::string digits(kShortNameHashDigits, '0');
  for (size_t i = kShortNameHashDigits; i-- > 0; folded >>= 5) digits[i] = kDigits[folded & 31];
  return digits;
}

std::string ComposeShortName(std::string_view prefix, std::string_view hash,
                             std::string_view ending) {
  std::string name;
  name.reserve(prefix.size() + kTailSize);
  name.append(prefix).append(1, '~').append(hash).append(ending);
  return name;
}

bool HasShortNameShape(std::string_view name) {
  if (name.size() < kTailSize) return false;
  std::string_view tail = name.substr(name.size() - kTailSize);
  if (tail[0] != '~') return false;
  for (size_t i = 1; i <= kShortNameHashDigits; ++i) {
    if (DigitValue(tail[i]) < 0) return false;
  }
  return true;
}

std::string_view ShortNamePrefix(std::string_view name) {
  return name.substr(0, name.size() - kTailSize);
}

uint32_t ShortNameFoldedHash(std::string_view name) {
  uint32_t value = 0;
  for (size_t i = 1; i <= kShortNameHashDigits; ++i) {
    value = value << 5 | static_cast<uint32_t>(DigitValue(name[name.size() - kTailSize + i]));
  }
  return value;
}

std::string_view ShortNameEnding(std::string_view name) {
  return name.substr(name.size() - kShortNameEndingSize);
}

std::string FolderTag(AdapterCharset& charset, std::string_view folder) {
  const std::vector<TagCharacter> characters = TagCharacters(charset, folder);
  return TagText(TakeTag(characters, characters.size(), std::string_view::npos));
}

std::vector<std::string> SiblingTags(AdapterCharset& charset,
                                     const std::vector<std::string_view>& names) {
  std::vector<std::string> tags;
  tags.reserve(names.size());
  for (std::string_view name : names) tags.push_back(FolderTag(charset, name));
  // Those of one tag together, each group in the order of the names' bytes, so that the most
  // alike of a folder's group is one of its neighbours.
  std::vector<size_t> order(names.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return tags[a] != tags[b] ? tags[a] < tags[b] : names[a] < names[b];
  });
  std::vector<size_t> departure(names.size(), std::string_view::npos);
  for (size_t i = 0; i < order.size(); ++i) {
    const size_t at = order[i];
    const bool before = i > 0 && tags[order[i - 1]] == tags[at];
    const bool after = i + 1 < order.size() && tags[order[i + 1]] == tags[at];
    if (!before && !after) continue;
    const size_t common = std::max(before ? CommonCharacters(names[at], names[order[i - 1]]) : 0,
                                   after ? CommonCharacters(names[at], names[order[i + 1]]) : 0);
    const std::vector<TagCharacter> characters = TagCharacters(charset, names[at]);
    if (common < characters.size() && characters[common].rank < kNeverTaken &&
        characters[common].bytes.size() <= kFolderTagLimit) {
      departure[at] = common;
    }
  }
  for (size_t at = 0; at < names.size(); ++at) {
    if (departure[at] == std::string_view::npos) continue;
    const std::vector<TagCharacter> characters = TagCharacters(charset, names[at]);
    tags[at] = TagText(TakeTag(characters, departure[at], departure[at]));
  }
  // What is still alike: the later ones numbered, in place of what has least rank.
  std::unordered_set<std::string> all(tags.begin(), tags.end()), given;
  std::unordered_map<std::string, int> nextNumber;
  for (size_t at = 0; at < names.size(); ++at) {
    if (given.insert(tags[at]).second) continue;
    const std::vector<TagCharacter> characters = TagCharacters(charset, names[at]);
    const size_t end = std::min(departure[at], characters.size());
    int& number = nextNumber.try_emplace(tags[at], 2).first->second;
    for (; number <= kMostTagNumber; ++number) {
      std::string mark(1, '+');
      mark.append(std::to_string(number));
      std::string numbered;
      for (std::string_view character :
           TakeTag(characters, end, departure[at], kFolderTagLimit - mark.size())) {
        numbered.append(character);
      }
      if (numbered.empty() && mark.size() < kFolderTagLimit) numbered.push_back('_');
      numbered.append(mark);
      if (!all.contains(numbered) && given.insert(numbered).second) {
        tags[at] = std::move(numbered);
        break;
      }
    }
  }
  return tags;
}

std::string FolderTags(AdapterCharset& charset, std::string_view folder) {
  // folder is "", "A/" or "A/B/.../Y/Z/": the tags are those of Y and Z.
  std::vector<std::string_view> innermost;
  while (!folder.empty()) {
    folder.remove_suffix(1);
    const size_t slash = folder.rfind('/');
    const size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    innermost.push_back(folder.substr(start));
    folder = folder.substr(0, start);
    if (static_cast<int>(innermost.size()) == kTaggedFolders) break;
  }
  std::string tags;
  for (size_t i = innermost.size(); i-- > 0;) tags.append(FolderTag(charset, innermost[i])) += '-';
  return tags;
}

bool GivenNames::MayHold(uint64_t fingerprint) const {
  if (slots_.empty()) return false;
  fingerprint += fingerprint == 0;
  const uint64_t mixed = Mix(fingerprint);
  if (filter_) {
    const uint64_t step = Mix(fingerprint ^ 0x9e3779b97f4a7c15ull) | 1;
    const size_t bits = slots_.size() * 64;
    for (int i = 0; i < kFilterProbes; ++i) {
      const size_t bit = (mixed + step * static_cast<uint64_t>(i)) & (bits - 1);
      if (!(slots_[bit / 64] >> (bit % 64) & 1)) return false;
    }
    return true;
  }
  const size_t mask = slots_.size() - 1;
  for (size_t slot = mixed & mask;; slot = (slot + 1) & mask) {
    if (slots_[slot] == 0) return false;
    if (slots_[slot] == fingerprint) return true;
  }
}

void GivenNames::Add(uint64_t fingerprint) {
  fingerprint += fingerprint == 0;
  const uint64_t mixed = Mix(fingerprint);
  if (!filter_ && (used_ + 1) * 5 > slots_.size() * 4) {
    if (slots_.size() < kMostBytes / sizeof slots_[0]) {
      Grow(std::max(kFirstSlots, slots_.size() * 2));
    } else {
      // Full: the same memory becomes a filter of every name given so far.
      const std::vector<uint64_t> held = std::move(slots_);
      slots_.assign(held.size(), 0);
      filter_ = true;
      for (uint64_t f : held) {
        if (f != 0) Add(f);
      }
    }
  }
  if (filter_) {
    const uint64_t step = Mix(fingerprint ^ 0x9e3779b97f4a7c15ull) | 1;
    const size_t bits = slots_.size() * 64;
    for (int i = 0; i < kFilterProbes; ++i) {
      const size_t bit = (mixed + step * static_cast<uint64_t>(i)) & (bits - 1);
      slots_[bit / 64] |= uint64_t{1} << (bit % 64);
    }
    return;
  }
  const size_t mask = slots_.size() - 1;
  for (size_t slot = mixed & mask;; slot = (slot + 1) & mask) {
    if (slots_[slot] == fingerprint) return;
    if (slots_[slot] == 0) {
      slots_[slot] = fingerprint;
      ++used_;
      return;
    }
  }
}

void GivenNames::Grow(size_t slots) {
  std::vector<uint64_t> held = std::move(slots_);
  slots_.assign(slots, 0);
  const size_t mask = slots - 1;
  for (uint64_t f : held) {
    if (f == 0) continue;
    size_t slot = Mix(f) & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = f;
  }
}

GivenShortName GiveShortName(std::string_view prefix, std::string_view path,
                             std::string_view ending, GivenNames& given) {
  uint64_t hash = PathHash(path);
  for (int rehashes = 0; rehashes <= kMostRehashes; ++rehashes, hash = NextRehash(hash)) {
    std::string name = ComposeShortName(prefix, HashDigits(hash), ending);
    const uint64_t fingerprint = Fnv1a64(name);
    if (!given.MayHold(fingerprint)) {
      given.Add(fingerprint);
      return GivenShortName{std::move(name), rehashes};
    }
  }
  return {};
}

}  // namespace rureza
