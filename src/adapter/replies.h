// Reading what the server sends, as an adapter must: the number blocks of each reply, the
// listing's 64-byte records and its end block, the media bytes of a reply, and where an AVI
// file's movie data lies. The server is not trusted: every reader says where a reply went wrong
// instead of guessing.
// Thread safety: pure functions; a ListingReader or MediaReplyReader belongs to one thread.
#pragma once

#include <algorithm>
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

// The media bytes of a reply as they arrive, handed on and checked on the way: exactly as many
// as its header announced and then, for the photo, '0' padding up to whole chunks. The header is
// the length block that opens the reply to an audio, photo or firmware request; a stream's
// handshake, read elsewhere, announces its media with Expect instead; and a subclass may read
// another header before the same media (to hold the server against another protocol's). Like
// ListingReader it takes the reply in pieces and keeps none of it, so a blocking receive loop
// and an epoll loop read a reply alike.
class MediaReplyReader {
 public:
  // Takes media bytes; false ends the reply's reading.
  using Sink = std::function<bool(const char*, size_t)>;

  // paddingChunk: the photo's chunk size, whose multiple the reply is padded to; 0 for none.
  explicit MediaReplyReader(uint32_t paddingChunk = 0, const char* headerName = "the length block")
      : paddingChunk_(paddingChunk), headerName_(headerName) {}
  virtual ~MediaReplyReader() = default;
  MediaReplyReader(const MediaReplyReader&) = delete;
  MediaReplyReader& operator=(const MediaReplyReader&) = delete;

  // The header was read elsewhere: announced media bytes follow from the reply's offset. With
  // looseBy (an MPEG stream of a RIFF file, which starts 64 KiB into the file) the reply may end
  // up to looseBy bytes short; it is never longer.
  void Expect(uint64_t announced, uint64_t offset, uint64_t looseBy = 0);

  // Takes the next bytes of the reply, handing its media bytes to sink (none when null). False
  // once the reply is malformed (error() says what and where) or sink returned false
  // (stopped()).
  bool Feed(const char* data, size_t size, const Sink& sink);
  // Called when the server has closed: false (and error()) when the reply is cut short.
  bool Finish();

  bool headerDone() const { return headerDone_; }
  // Every announced byte, and the padding, has come: the reply's last payload byte.
  bool complete() const {
    return headerDone_ && media_ >= announced_ - std::min(announced_, looseBy_) && padding_ == 0;
  }
  bool stopped() const { return stopped_; }
  uint64_t announced() const { return announced_; }
  uint64_t mediaBytes() const { return media_; }  // handed on
  uint64_t offset() const { return offset_; }     // of the reply: the bytes taken so far
  const std::string& error() const { return error_; }
  const char* headerName() const { return headerName_; }

 protected:
  // Takes header bytes from data, the reply's next ones, and returns how many it took; calls
  // Announce once the header is whole, or Fail.
  virtual size_t TakeHeader(const char* data, size_t size);
  void Announce(uint64_t announced);
  bool Fail(const std::string& what, uint64_t at);

 private:
  const uint32_t paddingChunk_;
  const char* const headerName_;
  std::string header_;  // the length block as it arrives
  bool headerDone_ = false;
  bool stopped_ = false;
  uint64_t announced_ = 0;
  uint64_t looseBy_ = 0;
  uint64_t media_ = 0;    // media bytes taken
  uint64_t padding_ = 0;  // padding bytes still owed
  uint64_t offset_ = 0;
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
