// The two ways the server reads a number that an adapter sends as decimal text in a 256-byte
// block. Both take the block's bytes as they arrived and read at most size of them, so they
// never run past a block that lacks its terminating zero; both wrap modulo 2^32 and never fail.
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rureza {

// Unsigned, the AVI movie bounds and the MPEG scale value: every byte up to the first zero byte
// (or up to size) counts as a digit worth its code as a signed byte minus 48, the last one with
// weight 1. Skips no white space, takes no sign and does not stop at a non-digit, so "12a"
// reads as 1*100 + 2*10 + 49. Empty text gives 0.
uint32_t ParseDecimal(const char* text, size_t size);

// Signed 32-bit, command-block numbers and the AVI probe offset: leading white space, one
// optional '+' or '-', then digits up to the first non-digit (or up to size). No digits give 0.
int32_t ParseSignedDecimal(const char* text, size_t size);

}  // namespace rureza
