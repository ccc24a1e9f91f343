// AdapterCharset: names between the file system's bytes and the adapter's 8-bit character set.
// With kStoredCharset names go out as the file system holds them; with any other character set
// the file system's names are read as UTF-8 and converted, and a play request's name is
// converted back before it becomes a path.
// Thread safety: one thread uses an object at a time (it owns iconv descriptors).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/charset.h"

namespace rureza {

class AdapterCharset {
 public:
  // name: kStoredCharset, or one CheckCharset finds usable; any other name acts as stored.
  explicit AdapterCharset(const std::string& name);
  AdapterCharset(const AdapterCharset&) = delete;
  AdapterCharset& operator=(const AdapterCharset&) = delete;

  bool stored() const { return stored_; }

  // *out: stored in the adapter's character set. False when a character cannot be written in
  // it, the bytes are not UTF-8, or the result would not convert back to the same bytes (a play
  // request could not find the file again).
  bool ToAdapter(std::string_view stored, std::string* out);
  // *out: the file system's bytes for a name the adapter sent; false when it is not text in
  // the character set.
  bool FromAdapter(std::string_view adapter, std::string* out);
  // The start of stored in the adapter's character set, at most limit bytes, cut where a
  // character ends. Each run of characters it cannot write becomes one '_', and so does a
  // backslash, which a play request would read as a folder separator.
  std::string WritablePrefix(std::string_view stored, size_t limit);

 private:
  const bool stored_;
  CharsetConverter to_;
  CharsetConverter from_;
  std::string back_;       // ToAdapter's round trip
  std::string character_;  // WritablePrefix's one character
};

// The length of the UTF-8 character at text's start: 1 to 4, or 1 for a byte that does not
// begin a well-formed character (such bytes count as characters of their own).
size_t Utf8CharacterLength(std::string_view text);

}  // namespace rureza
