#include "delivery/listing_record.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace rureza {
namespace {

constexpr size_t kNumberOffset = 0;
constexpr size_t kNameOffset = 8;
constexpr size_t kModeOffset = 48;
constexpr size_t kSizeOffset = 54;

constexpr uint16_t kFileType = 0x8000;
constexpr uint16_t kFolderType = 0x4000;
constexpr uint16_t kOwnerRead = 0x0100;
constexpr uint16_t kOwnerWrite = 0x0080;
constexpr uint16_t kOwnerExecute = 0x0040;
constexpr uint16_t kOwnerBits = 0x01C0;

// Writes value as decimal digits at field; the caller has checked that they fit.
void PutDecimal(uint8_t* field, uint64_t value) {
  char digits[24];
  int n = std::snprintf(digits, sizeof digits, "%" PRIu64, value);
  std::memcpy(field, digits, static_cast<size_t>(n));
}

}  // namespace

uint16_t ModeWord(bool isFolder, bool readOnly) {
  uint16_t mode = isFolder ? (kFolderType | kOwnerExecute) : kFileType;
  mode |= kOwnerRead;
  if (!readOnly) mode |= kOwnerWrite;
  uint16_t owner = mode & kOwnerBits;
  return static_cast<uint16_t>(mode | (owner >> 3) | (owner >> 6));
}

void WriteListingRecord(int32_t number, std::string_view name, uint16_t mode, uint32_t size,
                        uint8_t (&record)[kListingRecordSize]) {
  std::memset(record, 0, sizeof record);
  PutDecimal(record + kNumberOffset, static_cast<uint64_t>(number));
  std::memcpy(record + kNameOffset, name.data(), name.size());
  PutDecimal(record + kModeOffset, mode);
  PutDecimal(record + kSizeOffset, size);
}

void WriteEndOfList(uint8_t (&block)[kEndOfListSize]) {
  std::memset(block, 0, sizeof block);
  block[0] = '<';
  block[1] = '2';
}

}  // namespace rureza
