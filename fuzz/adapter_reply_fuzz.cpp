// The adapter's readers of server replies, on any bytes. The listing reader, fed the reply in
// two pieces split anywhere, reports what it reports fed in one; each entry is exactly the
// record the server would write for it; it stops at the first unit that is not such a record
// (or the end block) and says so at an offset inside that unit. ReadNumberBlock agrees with a
// plain reading of its contract, and the media reader takes a reply alike in any pieces. The
// first two bytes of the input choose the split.
#include <algorithm>
#include <cstring>
#include <string>

#include "adapter/replies.h"
#include "delivery/listing_record.h"
#include "fuzz_check.h"

namespace {

uint64_t Digits(std::string_view field) {
  uint64_t value = 0;
  for (char c : field.substr(0, field.find_first_not_of("0123456789")))
    value = value * 10 + c - '0';
  return value;
}

// The record the server writes for these fields; empty for fields it cannot write.
std::string Record(uint64_t number, std::string_view name, uint64_t mode, uint64_t size) {
  if (number > rureza::kLargestEntryNumber || name.size() >= rureza::kListedNameLimit ||
      mode > UINT16_MAX || size > UINT32_MAX)
    return "";
  uint8_t record[rureza::kListingRecordSize];
  rureza::WriteListingRecord(int32_t(number), name, uint16_t(mode), uint32_t(size), record);
  return std::string(reinterpret_cast<char*>(record), sizeof record);
}

// Zero bytes up to from, 1 to 10 digits, suffix, zero bytes to the end; at most 2^32 - 1.
std::optional<uint32_t> PlainNumberBlock(std::string_view block, std::string_view suffix,
                                         size_t from) {
  const std::string_view text = block.substr(std::min(from, block.size()));
  const size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
  std::string same =
      std::string(from, '\0') + std::string(text.substr(0, digits)) + std::string(suffix);
  same.resize(std::max(same.size(), block.size()), '\0');
  if (digits == 0 || digits > 10 || same != block || Digits(text) > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(Digits(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string_view reply(reinterpret_cast<const char*>(data) + 2, size - 2);
  const size_t split = (data[0] | size_t{data[1]} << 8) % (reply.size() + 1);
  for (auto [suffix, from] : {std::pair{"", 0}, {"filesize", 0}, {"filesize", 3}}) {
    FUZZ_CHECK(rureza::ReadNumberBlock(reply, suffix, from) ==
               PlainNumberBlock(reply, suffix, from));
  }

  // The media reader, as the photo's (padded to whole chunks) for an odd split: in two pieces
  // it hands on and reports what it does in one, and a whole reply is its length block and
  // exactly the bytes announced.
  std::string media[2], errors[2];
  bool ends[2];
  for (size_t i = 0; i < 2; ++i) {
    rureza::MediaReplyReader mediaReader(split % 2 ? 32767 : 0);
    auto sink = [&](const char* bytes, size_t n) {
      media[i].append(bytes, n);
      return true;
    };
    const size_t cut = i == 0 ? reply.size() : split;
    ends[i] = mediaReader.Feed(reply.data(), cut, sink) &&
              mediaReader.Feed(reply.data() + cut, reply.size() - cut, sink) &&
              mediaReader.Finish();
    errors[i] = mediaReader.error();
  }
  FUZZ_CHECK(ends[0] == ends[1] && media[0] == media[1] && errors[0] == errors[1]);
  FUZZ_CHECK(!ends[0] || (rureza::ReadNumberBlock(reply.substr(0, 256)) == media[0].size() &&
                          reply.substr(256, media[0].size()) == media[0]));

  size_t entries = 0;
  rureza::ListingReader reader([&](const rureza::ListingEntry& entry) {
    const std::string_view unit =
        reply.substr(entries++ * rureza::kListingUnit, rureza::kListingUnit);
    FUZZ_CHECK(Record(entry.number, entry.name, entry.mode, entry.size) == unit);
  });
  const bool whole = reader.Feed(reply.data(), split) &&
                     reader.Feed(reply.data() + split, reply.size() - split) && reader.Finish();
  size_t once = 0;
  rureza::ListingReader inOnePiece([&](const rureza::ListingEntry&) { ++once; });
  const bool wholeOnce = inOnePiece.Feed(reply.data(), reply.size()) && inOnePiece.Finish();
  FUZZ_CHECK(wholeOnce == whole && once == entries && inOnePiece.error() == reader.error());

  const size_t records = entries * rureza::kListingUnit;
  const std::string_view rest = reply.substr(records);
  if (whole) {
    FUZZ_CHECK(rest == "<2" + std::string(rureza::kListingEndSize - 2, '\0'));
    return 0;
  }
  const size_t at = std::stoull(reader.error().substr(reader.error().rfind("offset ") + 7));
  FUZZ_CHECK(at >= records && at <= records + rureza::kListingEndSize);
  // A whole record where the reader stopped would have been one it refused wrongly.
  const std::string_view unit = rest.substr(0, rureza::kListingUnit);
  FUZZ_CHECK(unit.size() < rureza::kListingUnit ||
             Record(Digits(unit.substr(0, 8)), unit.substr(8, strnlen(unit.data() + 8, 40)),
                    Digits(unit.substr(48, 6)), Digits(unit.substr(54))) != unit);
  return 0;
}
