// The two number readers against simple references, on inputs of any length with no
// terminating zero: ParseDecimal takes every byte up to the first zero as a digit worth its
// code minus 48; the signed reading takes white space, a sign and digits. Both wrap modulo 2^32.
// The reader gets exactly the input's bytes, so AddressSanitizer sees any read past them.
#include <cctype>
#include <cstring>
#include <memory>

#include "delivery/decimal.h"
#include "fuzz_check.h"

namespace {

// Each digit times its power of ten, summed from the last digit backwards.
uint32_t SumOfPowers(const char* digits, size_t count, bool codeAsValue) {
  uint32_t value = 0, power = 1;
  for (size_t k = count; k > 0; --k) {
    int32_t digit =
        codeAsValue ? static_cast<signed char>(digits[k - 1]) - 48 : digits[k - 1] - '0';
    value += static_cast<uint32_t>(digit) * power;
    power *= 10u;
  }
  return value;
}

uint32_t ReferenceDecimal(const char* text, size_t size) {
  const void* zero = std::memchr(text, 0, size);
  size_t count = zero ? static_cast<size_t>(static_cast<const char*>(zero) - text) : size;
  return SumOfPowers(text, count, true);
}

int32_t ReferenceSigned(const char* text, size_t size) {
  size_t i = 0;
  // The C locale's white space: space, \t, \n, \v, \f, \r.
  while (i < size && text[i] != '\0' && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < size && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  size_t end = i;
  while (end < size && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
  uint32_t magnitude = SumOfPowers(text + i, end - i, false);
  return static_cast<int32_t>(negative ? 0u - magnitude : magnitude);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly size bytes, so a read past the end is caught even for a zero-length input.
  std::unique_ptr<char[]> text(new char[size]);
  if (size > 0) std::memcpy(text.get(), data, size);
  FUZZ_CHECK(rureza::ParseDecimal(text.get(), size) == ReferenceDecimal(text.get(), size));
  FUZZ_CHECK(rureza::ParseSignedDecimal(text.get(), size) == ReferenceSigned(text.get(), size));
  // A block read from any offset, as the command readers do.
  for (size_t offset : {size_t{1}, size_t{3}}) {
    if (offset > size) break;
    FUZZ_CHECK(rureza::ParseSignedDecimal(text.get() + offset, size - offset) ==
               ReferenceSigned(text.get() + offset, size - offset));
  }
  return 0;
}
