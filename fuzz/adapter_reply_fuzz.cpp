// The adapter's readers of server replies, on any bytes. The listing reader, fed the reply in
// two pieces split anywhere, reports what it reports fed in one; each entry is exactly the
// record the server would write for it; it stops at the first unit that is not such a record
// (or the end block) and says so at an offset inside that unit. ReadNumberBlock agrees with a
// plain reading of its contract. The first two bytes of the input choose the split.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "adapter/replies.h"
#include "delivery/listing_record.h"
#include "fuzz_check.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

uint64_t Digits(std::string_view field) {
  uint64_t value = 0;
  for (size_t i = 0; i < field.size() && IsDigit(field[i]); ++i)
    value = value * 10 + (field[i] - '0');
  return value;
}

// The unit's fields read plainly and written back as the server writes a record give the unit.
bool WellFormed(std::string_view unit) {
  const uint64_t number = Digits(unit.substr(0, 8)), mode = Digits(unit.substr(48, 6)),
                 size = Digits(unit.substr(54, 10));
  const size_t nameLength = strnlen(unit.data() + 8, 40);
  if (number > rureza::kLargestEntryNumber || mode > UINT16_MAX || size > UINT32_MAX ||
      nameLength >= rureza::kListedNameLimit) {
    return false;
  }
  uint8_t record[rureza::kListingRecordSize];
  rureza::WriteListingRecord(static_cast<int32_t>(number), unit.substr(8, nameLength),
                             static_cast<uint16_t>(mode), static_cast<uint32_t>(size), record);
  return std::memcmp(record, unit.data(), sizeof record) == 0;
}

// Zero bytes up to from, 1 to 10 digits, suffix, zero bytes to the end; at most 2^32 - 1.
std::optional<uint32_t> PlainNumberBlock(std::string_view block, std::string_view suffix,
                                         size_t from) {
  if (block.size() <= from) return std::nullopt;
  size_t end = from;
  while (end < block.size() && IsDigit(block[end])) ++end;
  std::string expected =
      std::string(from, '\0') + std::string(block.substr(from, end - from)) + std::string(suffix);
  expected.resize(std::max(expected.size(), block.size()), '\0');
  const uint64_t value = Digits(block.substr(from, end - from));
  if (end == from || end - from > 10 || expected != block || value > UINT32_MAX)
    return std::nullopt;
  return static_cast<uint32_t>(value);
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

  size_t entries = 0;
  rureza::ListingReader reader([&](const rureza::ListingEntry& entry) {
    const std::string_view unit =
        reply.substr(entries++ * rureza::kListingUnit, rureza::kListingUnit);
    // What the server can write at all: a number and a name that leave room for a zero byte.
    FUZZ_CHECK(entry.number <= rureza::kLargestEntryNumber &&
               entry.name.size() < rureza::kListedNameLimit);
    uint8_t record[rureza::kListingRecordSize];
    rureza::WriteListingRecord(static_cast<int32_t>(entry.number), entry.name, entry.mode,
                               entry.size, record);
    FUZZ_CHECK(unit.size() == sizeof record &&
               std::memcmp(record, unit.data(), sizeof record) == 0);
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
  FUZZ_CHECK(rest.size() < rureza::kListingUnit ||
             !WellFormed(rest.substr(0, rureza::kListingUnit)));
  return 0;
}
