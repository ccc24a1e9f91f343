// The listing's wire format: the 64-byte record that describes one playable entry, the
// 256-byte end-of-list block and the mode word of an entry. Every number is decimal text in a
// zero-filled field; nothing binary crosses the wire. Which entries are listed, under which
// names, the name layer decides (names/).
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "names/media_endings.h"

namespace rureza {

inline constexpr size_t kListingRecordSize = 64;
inline constexpr size_t kEndOfListSize = 256;

// The largest entry number whose digits and zero byte fit the 8-byte number field.
inline constexpr int32_t kLargestEntryNumber = 9'999'999;

// The mode word of an entry whose attributes cannot be read: an ordinary, writable file.
inline constexpr uint16_t kUnreadableEntryMode = 33206;

// The 16-bit POSIX-style mode word the adapter expects: file or folder (with owner execute),
// owner read always, owner write unless read-only, owner bits copied to group and other.
uint16_t ModeWord(bool isFolder, bool readOnly);

// Fills record: number at offset 0, name at 8, mode at 48, size at 54 (ten digits fill the
// size field with no zero byte behind them).
// REQUIRES: 0 <= number <= kLargestEntryNumber, name.size() < kListedNameLimit.
void WriteListingRecord(int32_t number, std::string_view name, uint16_t mode, uint32_t size,
                        uint8_t (&record)[kListingRecordSize]);

// Fills block with "<2" and zero bytes: a reader taking 64-byte units sees a unit that
// starts "<2" where records always start with a digit.
void WriteEndOfList(uint8_t (&block)[kEndOfListSize]);

}  // namespace rureza
