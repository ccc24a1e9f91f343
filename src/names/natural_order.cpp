#include "names/natural_order.h"

#include <algorithm>

namespace rureza {
namespace {

constexpr size_t kEnding = 4;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The byte at i with the case of ASCII letters and of UTF-8's two-byte Latin-1 capitals
// (U+00C0 to U+00DE, but not the multiplication sign) taken away.
char Folded(std::string_view s, size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c >= 'A' && c <= 'Z') return static_cast<char>(c + 32);
  if (i > 0 && static_cast<unsigned char>(s[i - 1]) == 0xC3 && c >= 0x80 && c <= 0x9E &&
      c != 0x97) {
    return static_cast<char>(c + 0x20);
  }
  return static_cast<char>(c);
}

// A run of digits becomes "0", its length without leading zeros (plus one) and those digits:
// longer numbers after shorter ones, and "0" sorts against other bytes as any digit does, since
// no other byte lies between "0" and "9". Names hold no zero byte, so none is in a part.
void AppendPart(std::string_view s, std::string* key) {
  for (size_t i = 0; i < s.size();) {
    if (!IsDigit(s[i])) {
      key->push_back(Folded(s, i++));
      continue;
    }
    while (i < s.size() && s[i] == '0') ++i;
    const size_t start = i;
    while (i < s.size() && IsDigit(s[i])) ++i;
    const size_t length = std::min<size_t>(i - start, 254);
    key->push_back('0');
    key->push_back(static_cast<char>(length + 1));
    key->append(s.substr(start, length));
  }
  key->push_back('\0');  // a name that begins another comes first
}

}  // namespace

void AppendNaturalKey(std::string_view name, bool withEnding, std::string* key) {
  if (withEnding && name.size() >= kEnding) AppendPart(name.substr(0, name.size() - kEnding), key);
  AppendPart(name, key);
  key->append(name);
}

}  // namespace rureza
