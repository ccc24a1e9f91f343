// The listing record for any entry number, size, attributes and name: a name of 40 bytes or more
// is refused (the listing warns instead), any other gives the 64-byte record that the decimal
// text of each field, zero-filled, spells; and the ending rule matches a plain comparison.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "delivery/listing_record.h"
#include "fuzz_check.h"

namespace {

using rureza::ListingFolder;

bool Ends(std::string_view name, std::string_view ending) {
  if (name.size() <= 4) return false;
  std::string last(name.substr(name.size() - 4));
  for (char& c : last) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // Only ASCII letters fold (the C locale): the dot and the digit stay exact.
  return last == ending;
}

bool ReferenceEnding(ListingFolder folder, std::string_view name) {
  switch (folder) {
    case ListingFolder::kVideo:
      return Ends(name, ".mpg") || Ends(name, ".avi") || Ends(name, ".vob") || Ends(name, ".dat");
    case ListingFolder::kAudio:
      return Ends(name, ".mp3");
    case ListingFolder::kPhoto:
      return Ends(name, ".jpg");
  }
  return false;
}

uint16_t ReferenceMode(bool isFolder, bool readOnly) {
  if (isFolder) return readOnly ? 16749 : 16895;
  return readOnly ? 33060 : 33206;
}

// Writes text into field, which keeps zero bytes behind it.
void Put(uint8_t* field, const std::string& text) { std::memcpy(field, text.data(), text.size()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  uint32_t raw = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                 uint32_t(data[3]) << 24;
  const int32_t number = static_cast<int32_t>(raw % (rureza::kLargestEntryNumber + 1u));
  const uint32_t entrySize = uint32_t(data[4]) | uint32_t(data[5]) << 8 | uint32_t(data[6]) << 16 |
                             uint32_t(data[7]) << 24;
  const bool isFolder = data[8] & 1, readOnly = data[8] & 2;
  const std::string_view name(reinterpret_cast<const char*>(data) + 9, size - 9);

  for (ListingFolder folder :
       {ListingFolder::kVideo, ListingFolder::kAudio, ListingFolder::kPhoto}) {
    FUZZ_CHECK(rureza::EndingBelongsTo(folder, name) == ReferenceEnding(folder, name));
  }
  const uint16_t mode = rureza::ModeWord(isFolder, readOnly);
  FUZZ_CHECK(mode == ReferenceMode(isFolder, readOnly));
  if (name.size() >= rureza::kListedNameLimit) return 0;  // refused, never written

  uint8_t record[rureza::kListingRecordSize];
  std::memset(record, 0xAA, sizeof record);  // every byte must be written
  rureza::WriteListingRecord(number, name, mode, entrySize, record);

  uint8_t want[rureza::kListingRecordSize] = {};
  Put(want, std::to_string(number));
  std::memcpy(want + 8, name.data(), name.size());
  Put(want + 48, std::to_string(mode));
  Put(want + 54, std::to_string(entrySize));
  FUZZ_CHECK(std::memcmp(record, want, sizeof record) == 0);
  // Each number field keeps a zero byte behind its digits, but the size may fill its ten bytes.
  FUZZ_CHECK(record[7] == 0 && record[47] == 0 && record[53] == 0);
  FUZZ_CHECK(record[0] >= '0' && record[0] <= '9');
  return 0;
}
