#include "adapter/replies.h"

#include <algorithm>
#include <cstring>

namespace rureza {
namespace {

constexpr size_t kLengthBlockSize = 256;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// At most maxDigits decimal digits from the field's start, without a leading zero, then only
// zero bytes; nullopt otherwise. The server writes nothing else, so a record in any other
// spelling is not one it meant.
std::optional<uint64_t> ReadField(std::string_view field, size_t maxDigits) {
  size_t digits = 0;
  uint64_t value = 0;
  while (digits < field.size() && IsDigit(field[digits]) && digits <= maxDigits) {
    value = value * 10 + static_cast<uint64_t>(field[digits++] - '0');
  }
  if (digits == 0 || digits > maxDigits || (field[0] == '0' && digits > 1)) return std::nullopt;
  for (size_t i = digits; i < field.size(); ++i) {
    if (field[i] != '\0') return std::nullopt;
  }
  return value;
}

uint32_t LittleEndian32(std::string_view bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 4; i-- > 0;) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

}  // namespace

std::optional<uint32_t> ReadNumberBlock(std::string_view block, std::string_view suffix,
                                        size_t from) {
  if (block.size() <= from) return std::nullopt;
  for (size_t i = 0; i < from; ++i) {
    if (block[i] != '\0') return std::nullopt;
  }
  std::string_view text = block.substr(from);
  size_t digits = 0;
  while (digits < text.size() && IsDigit(text[digits])) ++digits;
  if (digits == 0 || digits > 10 || text.substr(digits, suffix.size()) != suffix) {
    return std::nullopt;
  }
  std::string rest(text.substr(digits + suffix.size()));
  std::string number(text.substr(0, digits));
  if (rest.find_first_not_of('\0') != std::string::npos) return std::nullopt;
  uint64_t value = std::stoull(number);
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

bool ListingReader::Fail(uint64_t at, const std::string& what) {
  if (error_.empty()) error_ = what + " at offset " + std::to_string(at);
  return false;
}

bool ListingReader::Feed(const char* data, size_t size) {
  if (!error_.empty()) return false;
  while (size > 0) {
    if (ended_) return Fail(offset_, "bytes after the end block");
    // A unit that starts "<2" is the end block and runs to 256 bytes, a record to 64; the first
    // byte that cannot begin either is reported at once.
    size_t want = have_ == 0 ? 1 : unit_[0] == '<' ? kListingEndSize : kListingUnit;
    size_t take = std::min(size, want - have_);
    std::memcpy(unit_ + have_, data, take);
    have_ += take;
    data += take;
    size -= take;
    if (!IsDigit(unit_[0]) && unit_[0] != '<') {
      return Fail(offset_, "a record that does not start with a digit");
    }
    if (unit_[0] == '<' && have_ >= 2 && unit_[1] != '2') {
      return Fail(offset_, "a record that does not start with a digit");
    }
    if (have_ > 1 && have_ == want) {
      if (!TakeUnit(unit_)) return false;
      offset_ += have_;
      have_ = 0;
    }
  }
  return true;
}

bool ListingReader::TakeUnit(const char* unit) {
  if (unit[0] == '<') {
    std::string_view block(unit, kListingEndSize);
    if (block.find_first_not_of('\0', 2) != std::string_view::npos) {
      return Fail(offset_ + 2, "an end block with bytes after its \"<2\"");
    }
    ended_ = true;
    return true;
  }
  std::string_view record(unit, kListingUnit);
  // The number and the mode keep a zero byte behind their digits; the size may fill its field.
  std::optional<uint64_t> number = ReadField(record.substr(0, 8), 7);
  size_t nameEnd = record.find('\0', 8);
  std::optional<uint64_t> mode = ReadField(record.substr(48, 6), 5);
  std::optional<uint64_t> size = ReadField(record.substr(54, 10), 10);
  if (!number) return Fail(offset_, "a record whose number is not decimal text");
  if (nameEnd >= 48) return Fail(offset_ + 8, "a name without its zero byte");
  if (record.substr(nameEnd, 48 - nameEnd).find_first_not_of('\0') != std::string_view::npos) {
    return Fail(offset_ + nameEnd, "bytes after a name's zero byte");
  }
  if (!mode || *mode > UINT16_MAX) return Fail(offset_ + 48, "a mode that is not decimal text");
  if (!size || *size > UINT32_MAX) return Fail(offset_ + 54, "a size that is not decimal text");
  ListingEntry entry;
  entry.number = static_cast<uint32_t>(*number);
  entry.name.assign(record.data() + 8, nameEnd - 8);
  entry.mode = static_cast<uint16_t>(*mode);
  entry.size = static_cast<uint32_t>(*size);
  if (onEntry_) onEntry_(entry);
  return true;
}

bool ListingReader::Finish() {
  if (!error_.empty()) return false;
  if (ended_) return true;
  return Fail(offset_ + have_, have_ ? "a reply cut short" : "no end block");
}

void MediaReplyReader::Expect(uint64_t announced, uint64_t offset, uint64_t looseBy) {
  offset_ = offset;
  looseBy_ = looseBy;
  Announce(announced);
}

void MediaReplyReader::Announce(uint64_t announced) {
  headerDone_ = true;
  announced_ = announced;
  if (paddingChunk_ > 0) padding_ = (paddingChunk_ - announced % paddingChunk_) % paddingChunk_;
}

bool MediaReplyReader::Fail(const std::string& what, uint64_t at) {
  if (error_.empty()) error_ = what + " at offset " + std::to_string(at);
  return false;
}

size_t MediaReplyReader::TakeHeader(const char* data, size_t size) {
  size_t take = std::min(size, kLengthBlockSize - header_.size());
  header_.append(data, take);
  if (header_.size() == kLengthBlockSize) {
    std::optional<uint32_t> length = ReadNumberBlock(header_);
    if (!length) {
      Fail("a length block that is not decimal text", 0);
      return take;
    }
    Announce(*length);
  }
  return take;
}

bool MediaReplyReader::Feed(const char* data, size_t size, const Sink& sink) {
  if (!error_.empty() || stopped_) return false;
  while (size > 0 && !headerDone_) {
    size_t used = TakeHeader(data, size);
    if (!error_.empty()) return false;
    offset_ += used;
    data += used;
    size -= used;
  }
  // The media bytes, then the padding, then nothing: a server that sends more is wrong, also
  // one whose stream would otherwise never end.
  size_t media = static_cast<size_t>(std::min<uint64_t>(size, announced_ - media_));
  if (media > 0) {
    media_ += media;
    offset_ += media;
    if (sink && !sink(data, media)) {
      stopped_ = true;
      return false;
    }
  }
  for (size_t i = media; i < size; ++i, ++offset_) {
    if (padding_ == 0) return Fail("more bytes than the reply announced", offset_);
    if (data[i] != '0') return Fail("padding that is not '0'", offset_);
    --padding_;
  }
  return true;
}

bool MediaReplyReader::Finish() {
  if (!error_.empty()) return false;
  if (!headerDone_) return Fail(std::string("the reply ended in ") + headerName_, offset_);
  if (complete()) return true;
  return Fail(std::string(looseBy_ > 0 ? "the stream" : "the reply") + " ended " +
                  std::to_string(announced_ - media_ + padding_) + " bytes short",
              offset_);
}

std::optional<MovieBounds> FindMovieData(std::string_view header) {
  // RIFF "AVI " chunks follow the 12-byte file header: an id, a little-endian size, the data
  // (padded to an even length); a LIST chunk names its kind in its first four bytes.
  if (header.size() < 12 || header.substr(0, 4) != "RIFF" || header.substr(8, 4) != "AVI ") {
    return std::nullopt;
  }
  for (uint64_t at = 12; at + 12 <= header.size();) {
    uint32_t size = LittleEndian32(header, static_cast<size_t>(at) + 4);
    if (header.substr(static_cast<size_t>(at), 4) == "LIST" &&
        header.substr(static_cast<size_t>(at) + 8, 4) == "movi") {
      uint64_t end = at + 8 + size;
      if (end > UINT32_MAX) return std::nullopt;
      return MovieBounds{static_cast<uint32_t>(at + 12), static_cast<uint32_t>(end)};
    }
    at += 8 + uint64_t{size} + (size & 1);
  }
  return std::nullopt;
}

}  // namespace rureza
