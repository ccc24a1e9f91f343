#include "names/short_names.h"

namespace rureza {
namespace {

constexpr char kDigits[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

bool IsHashDigit(char c) {
  for (const char* d = kDigits; *d; ++d) {
    if (*d == c) return true;
  }
  return false;
}

// "~" and the hash digits come this far before the ending.
constexpr size_t kTailSize = 1 + kShortNameHashDigits + kShortNameEndingSize;

}  // namespace

uint64_t Fnv1a64(std::string_view bytes, uint64_t hash) {
  for (char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string ShortNameHash(std::string_view path, int rehashes) {
  uint64_t hash = Fnv1a64(path);
  for (int i = 0; i < rehashes; ++i) hash = Fnv1a64("\x01", hash);
  uint32_t folded = static_cast<uint32_t>(hash ^ (hash >> 32));
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
    if (!IsHashDigit(tail[i])) return false;
  }
  return true;
}

std::string_view ShortNamePrefix(std::string_view name) {
  return name.substr(0, name.size() - kTailSize);
}

std::string_view ShortNameEnding(std::string_view name) {
  return name.substr(name.size() - kShortNameEndingSize);
}

std::vector<SettledName> SettleShortNames(std::string_view prefix, std::string_view ending,
                                          const std::vector<std::string_view>& paths,
                                          const std::unordered_set<std::string>& reserved) {
  std::vector<SettledName> settled(paths.size());
  std::unordered_set<std::string> own;  // the names the files make from their own paths
  std::vector<size_t> rehashed;         // the files that cannot keep theirs, in byte order
  for (size_t i = 0; i < paths.size(); ++i) {
    std::string name = ComposeShortName(prefix, ShortNameHash(paths[i], 0), ending);
    if (!reserved.count(name) && own.insert(name).second) {
      settled[i].name = std::move(name);
    } else {
      own.insert(std::move(name));
      rehashed.push_back(i);
    }
  }
  std::unordered_set<std::string> given;
  for (size_t i : rehashed) {
    for (int rehashes = 1; rehashes <= kMostRehashes; ++rehashes) {
      std::string name = ComposeShortName(prefix, ShortNameHash(paths[i], rehashes), ending);
      if (!own.count(name) && !reserved.count(name) && given.insert(name).second) {
        settled[i] = SettledName{std::move(name), rehashes};
        break;
      }
    }
  }
  return settled;
}

}  // namespace rureza
