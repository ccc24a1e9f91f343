#include "platform/text.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace rureza {
namespace {

struct Range {
  char32_t first, last;
};

// Unicode's format characters (Cf) and the line and paragraph separators (Zl, Zp).
constexpr Range kFormatCharacters[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

bool IsFormatCharacter(char32_t c) {
  if ((c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE) return true;  // noncharacters
  auto after = std::upper_bound(std::begin(kFormatCharacters), std::end(kFormatCharacters), c,
                                [](char32_t value, const Range& r) { return value < r.first; });
  return after != std::begin(kFormatCharacters) && c <= std::prev(after)->last;
}

size_t DecodeUtf8(std::string_view text, char32_t* c) {
  if (text.empty()) return 0;
  const auto lead = static_cast<unsigned char>(text[0]);
  size_t length;
  char32_t value;
  if (lead < 0x80) {
    *c = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (!IsContinuation(byte)) return 0;
    value = value << 6 | (byte & 0x3F);
  }
  const char32_t shortest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
  if (value < shortest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *c = value;
  return length;
}

std::string ShowableText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t c = 0;
    size_t n = DecodeUtf8(text.substr(i), &c);
    const bool shown =
        n > 0 && c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0) && !IsFormatCharacter(c);
    if (shown) {
      out.append(text, i, n);
      i += n;
      continue;
    }
    // Byte by byte: the rest of a malformed sequence may begin a character of its own.
    for (size_t end = i + std::max<size_t>(n, 1); i < end; ++i) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[i]));
      out += escaped;
    }
  }
  return out;
}

}  // namespace rureza
