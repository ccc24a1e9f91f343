// Short names: what a file is listed as, with short names on, when its name does not fit the
// listing record or cannot be written in the adapter's character set:
//
//   prefix "~" hash ending            "Symphony No. 9 in D minor, Op~4KX2M.mp3"
//
// prefix  the start of the file's own name (no folders, no ending) in the adapter's character
//         set, at most 29 bytes, cut where a character ends (AdapterCharset::WritablePrefix)
// hash    five base-32 digits (0-9 and A-Z without I, L, O, U) of the 64-bit FNV-1a hash of the
//         file's path relative to its media folder, as the file system holds it
//         ("Artist/Album/01 Title.mp3"): the hash's halves xor-ed, its lowest 25 bits, most
//         significant digit first
// ending  the name's last four bytes (".mp3")
//
// So a short name has at most 39 bytes and depends only on the file's own path: it survives a
// restart, and other files coming and going do not change it. Within one media folder's
// listing no two files share a name and no short name is the name of a file listed as it is.
// A file keeps the name its own path makes unless a file listed as it is has that name, or a
// file whose path comes before its own in byte order makes the same name. A file that cannot
// keep it hashes its path followed by one byte 0x01 instead, then two, and so on, and takes the
// first name that no file of the listing makes from its own path, no file is listed as, and no
// file before it in byte order was given this way. Only such a clash lets another file matter,
// and a file that keeps its own name can be listed as soon as the walk has seen every file.
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "names/media_endings.h"

namespace rureza {

inline constexpr size_t kShortNameHashDigits = 5;
inline constexpr size_t kShortNameEndingSize = 4;
inline constexpr size_t kShortNamePrefixLimit =
    kListedNameLimit - 1 - 1 - kShortNameHashDigits - kShortNameEndingSize;  // 29
// A file that finds this many of its names taken is refused like a name that does not fit.
inline constexpr int kMostRehashes = 64;

uint64_t Fnv1a64(std::string_view bytes, uint64_t hash = 14695981039346656037ull);

// The hash digits of path with rehashes bytes 0x01 behind it.
std::string ShortNameHash(std::string_view path, int rehashes);

// prefix + "~" + hash + ending.
std::string ComposeShortName(std::string_view prefix, std::string_view hash,
                             std::string_view ending);

// True when name could be a short name: "~", five hash digits and four bytes end it.
bool HasShortNameShape(std::string_view name);
// A short name's prefix and ending. REQUIRES: HasShortNameShape(name).
std::string_view ShortNamePrefix(std::string_view name);
std::string_view ShortNameEnding(std::string_view name);

struct SettledName {
  std::string name;  // empty: every name the file could have is taken
  int rehashes = 0;
};

// The short names of one group, the files whose short names share prefix and ending, by the rule
// above. paths: all of the group's paths, in byte order; reserved: names listed as they are.
std::vector<SettledName> SettleShortNames(std::string_view prefix, std::string_view ending,
                                          const std::vector<std::string_view>& paths,
                                          const std::unordered_set<std::string>& reserved);

}  // namespace rureza
