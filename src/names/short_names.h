// Short names: what a file is listed as, with short names on, when its name does not fit the
// listing record or cannot be written in the adapter's character set:
//
//   tags title "~" hash ending        "Motör-Bombe-01 Dead Men Tell ~981CF.mp3"
//
// tags    for each of the (at most two) innermost folders of the file's path, outer first, a tag
//         of at most 5 bytes and a "-" (SiblingTags); none for a file at the media folder's top
// title   the start of the file's own name (no folders, no ending) in the adapter's character
//         set, in the rest of 29 bytes, cut where a character ends
//         (AdapterCharset::WritablePrefix)
// hash    five base-32 digits (0-9 and A-Z without I, L, O, U) of the 64-bit FNV-1a hash of the
//         file's path relative to its media folder, as the file system holds it
//         ("Artist/Album/01 Title.mp3"): the hash's halves xor-ed, its lowest 25 bits, most
//         significant digit first
// ending  the name's last four bytes (".mp3"), or the ending a converted source is listed under
//
// So a short name has at most 39 bytes, holds no "/" and depends only on the file's path and
// the names of the folders beside its two innermost ones, unless it clashes.
// Names are given in listing order: a file takes the name its own path makes unless that name
// was given before in the listing (to a shortened file, or to a file of the media folder's top
// listed as it is); then it hashes its path followed by one byte 0x01 instead, then two, and so
// on, and takes the first name not given before (GiveShortName).
// Names the rule gave out before tags existed (the title alone in 29 bytes), or before tags
// minded the folders beside them (FolderTags), keep playing: the hash finds the file.
// Thread safety: functions are pure; a GivenNames is used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "names/adapter_charset.h"
#include "names/media_endings.h"

namespace rureza {

inline constexpr size_t kShortNameHashDigits = 5;
inline constexpr size_t kShortNameEndingSize = 4;
inline constexpr size_t kShortNamePrefixLimit =
    kListedNameLimit - 1 - 1 - kShortNameHashDigits - kShortNameEndingSize;  // 29
inline constexpr size_t kFolderTagLimit = 5;
inline constexpr int kTaggedFolders = 2;
// A file that finds this many of its names taken is refused like a name that does not fit.
inline constexpr int kMostRehashes = 64;

uint64_t Fnv1a64(std::string_view bytes, uint64_t hash = 14695981039346656037ull);

// The hash of path with rehashes bytes 0x01 behind it, and the next one of that row.
uint64_t PathHash(std::string_view path, int rehashes = 0);
inline uint64_t NextRehash(uint64_t hash) { return Fnv1a64("\x01", hash); }
// The 25 bits of hash that its digits show, and the digits.
uint32_t FoldedHash(uint64_t hash);
std::string HashDigits(uint64_t hash);
inline std::string ShortNameHash(std::string_view path, int rehashes) {
  return HashDigits(PathHash(path, rehashes));
}

// prefix + "~" + hash + ending.
std::string ComposeShortName(std::string_view prefix, std::string_view hash,
                             std::string_view ending);

// True when name could be a short name: "~", five hash digits and four bytes end it.
bool HasShortNameShape(std::string_view name);
// A short name's prefix, the 25 bits its digits stand for, and its ending.
// REQUIRES: HasShortNameShape(name).
std::string_view ShortNamePrefix(std::string_view name);
uint32_t ShortNameFoldedHash(std::string_view name);
std::string_view ShortNameEnding(std::string_view name);

// A folder's tag: at most kFolderTagLimit bytes of its name in the adapter's character set, in
// their order: its digits first, then the first character of each word (words are separated by
// ASCII spaces and punctuation), then its other characters from the start, each taken while it
// fits. Spaces, punctuation (so "/", "\" and "-" too) and what cannot be written are never
// taken; a folder with nothing to take is "_". "Album 02 - The Collected Recordings" is
// "A02TC", "Motörhead" "Motör" in CP1252, "AC\DC" "ACDC".
std::string FolderTag(AdapterCharset& charset, std::string_view folder);
// The tags of folders side by side (names: the subfolders of one folder, in listing order), so
// that a person tells them apart: each one's FolderTag, except where folders share it; then
// each of them whose name has a character that can be taken where it departs from the most
// alike of them (after the longest start it has in common with one of them) takes that
// character first and, while they fit, of the characters before it the digits, the words'
// firsts and the others from the start ("The Roots" and "The Ronettes" are "TheRo" and
// "TheRn"). Tags still alike (a departure at a space, or departures alike) stay the first's in
// listing order; each later one is "+" and the first number from 2 that makes a tag no folder
// beside it has, behind as much of its tag as fits before it, taken again by the same rule
// ("AC DC" and "AC-DC" are "ACDC" and "ACD+2"). Deterministic for a set of names; at most
// kFolderTagLimit bytes each.
std::vector<std::string> SiblingTags(AdapterCharset& charset,
                                     const std::vector<std::string_view>& names);

// The tags part of a short name for the files of folder (relative, "/" after each folder) by
// the rule before tags minded the folders beside them: each folder's FolderTag.
std::string FolderTags(AdapterCharset& charset, std::string_view folder);

// The names one listing has given so far, as 64-bit fingerprints (Fnv1a64 of the name), in
// bounded memory: an exact set of up to kExactNames names in at most kMostBytes, then a filter of
// the same size, which can take a name for given that was not (the file then takes its next
// name) but never the other way round, so names stay unique.
class GivenNames {
 public:
  static constexpr size_t kMostBytes = size_t{4} << 20;
  static constexpr size_t kExactNames = kMostBytes / 8 / 5 * 4;  // 419,430

  bool MayHold(uint64_t fingerprint) const;
  void Add(uint64_t fingerprint);
  size_t BytesUsed() const { return slots_.size() * sizeof slots_[0]; }

 private:
  void Grow(size_t slots);

  std::vector<uint64_t> slots_;  // the set (0 free) or, past kExactNames, the filter's bits
  size_t used_ = 0;
  bool filter_ = false;
};

struct GivenShortName {
  std::string name;  // empty: every name the file could have was given
  int rehashes = 0;
};

// The short name a file at path gets whose short names begin with prefix and end in ending (the
// one it is listed under), names given before being given; the one it gets is added to them.
// None when it would not fit the record.
GivenShortName GiveShortName(std::string_view prefix, std::string_view path,
                             std::string_view ending, GivenNames& given);

}  // namespace rureza
