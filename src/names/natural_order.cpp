#include "names/natural_order.h"

#include <cstring>

namespace rureza {
namespace {

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// The byte at i with the case of ASCII letters and of UTF-8's two-byte Latin-1 capitals
// (U+00C0 to U+00DE, but not the multiplication sign) taken away.
unsigned char Folded(std::string_view s, size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
  if (i > 0 && static_cast<unsigned char>(s[i - 1]) == 0xC3 && c >= 0x80 && c <= 0x9E &&
      c != 0x97) {
    return static_cast<unsigned char>(c + 0x20);
  }
  return c;
}

// <0, 0 or >0 as a comes before, with or after b, digits by value and letters in either case.
int Compare(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      while (i < a.size() && a[i] == '0') ++i;
      while (j < b.size() && b[j] == '0') ++j;
      const size_t si = i, sj = j;
      while (i < a.size() && IsDigit(a[i])) ++i;
      while (j < b.size() && IsDigit(b[j])) ++j;
      if (i - si != j - sj) return i - si < j - sj ? -1 : 1;
      if (const int digits = std::memcmp(a.data() + si, b.data() + sj, i - si)) return digits;
      continue;
    }
    const unsigned char x = Folded(a, i), y = Folded(b, j);
    if (x != y) return x < y ? -1 : 1;
    ++i, ++j;
  }
  return (i < a.size()) - (j < b.size());
}

}  // namespace

bool NaturalLess(std::string_view a, std::string_view b, bool withEnding) {
  constexpr size_t kEnding = 4;
  if (withEnding && a.size() >= kEnding && b.size() >= kEnding) {
    if (const int stems = Compare(a.substr(0, a.size() - kEnding), b.substr(0, b.size() - kEnding)))
      return stems < 0;
  }
  if (const int names = Compare(a, b)) return names < 0;
  return a < b;
}

}  // namespace rureza
