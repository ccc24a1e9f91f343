// Reading what the server sends, as an adapter must: the number blocks of each reply, the
// listing's 64-byte records and its end block, and where an AVI file's movie data lies. The
// server is not trusted: every reader says where a reply went wrong instead of guessing.
// Thread safety: pure functions; a ListingReader belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace rureza {

inline constexpr size_t kListingUnit = 64;      // one record
inline constexpr size_t kListingEndSize = 256;  // the end block: "<2", then zero bytes

// The decimal number at the start of a 256-byte block followed by suffix, then zero bytes to
// the end: a length block (no suffix), the AVI filesize block ("filesize") and, from byte 3,
// its start block. nullopt for anything else (no digits, a sign, junk, more than 10 digits or
// a value above 2^32 - 1).
std::optional<uint32_t> ReadNumberBlock(std::string_view block, std::string_view suffix = "",
                                        size_t from = 0);

struct ListingEntry {
  uint32_t number = 0;
  std::string name;  // the bytes as sent (no character set assumed)
  uint16_t mode = 0;
  uint32_t size = 0;
  bool isFolder() const { return (mode & 0xF000) == 0x4000; }
};

// Takes a listing reply in pieces as they arrive and hands each record on as soon as it is
// whole, so a listing of any length is read in constant memory. A record is taken only as the
// server writes it (no leading zeros, a zero byte behind the number, the name and the mode),
// so each entry written back gives the very bytes that were read.
class ListingReader {
 public:
  using OnEntry = std::function<void(const ListingEntry&)>;
  explicit ListingReader(OnEntry onEntry) : onEntry_(std::move(onEntry)) {}

  // False once the reply is malformed (error() says what, at which offset of the reply);
  // bytes after the end block are malformed too.
  bool Feed(const char* data, size_t size);
  // Called when the server has closed: false when the end block is missing or cut short.
  bool Finish();

  bool ended() const { return ended_; }
  const std::string& error() const { return error_; }
  uint64_t offset() const { return offset_; }  // bytes taken so far

 private:
  bool Fail(uint64_t at, const std::string& what);
  bool TakeUnit(const char* unit);

  OnEntry onEntry_;
  char unit_[kListingEndSize];
  size_t have_ = 0;      // bytes of the unit (or end block) being gathered
  uint64_t offset_ = 0;  // of the reply
  bool ended_ = false;
  std::string error_;
};

// Where an AVI file's movie data lies, read from its first bytes as an adapter does: the data
// of the RIFF "movi" list, which the index ("idx1") follows. nullopt when the header holds no
// movi list.
struct MovieBounds {
  uint32_t start = 0;
  uint32_t end = 0;
};
std::optional<MovieBounds> FindMovieData(std::string_view header);

}  // namespace rureza
