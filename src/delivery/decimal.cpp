#include "delivery/decimal.h"

namespace rureza {

uint32_t ParseDecimal(const char* text, size_t size) {
  uint32_t value = 0;
  for (size_t i = 0; i < size && text[i] != '\0'; ++i) {
    int32_t digit = static_cast<signed char>(text[i]) - '0';
    value = value * 10u + static_cast<uint32_t>(digit);
  }
  return value;
}

int32_t ParseSignedDecimal(const char* text, size_t size) {
  size_t i = 0;
  auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (i < size && isSpace(text[i])) ++i;
  bool negative = false;
  if (i < size && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint32_t magnitude = 0;
  for (; i < size && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10u + static_cast<uint32_t>(text[i] - '0');
  }
  return static_cast<int32_t>(negative ? 0u - magnitude : magnitude);
}

}  // namespace rureza
