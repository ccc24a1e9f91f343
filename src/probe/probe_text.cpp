#include "probe/probe_text.h"

#include <langinfo.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <iterator>

namespace rureza {
namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

void AppendHex(std::string& out, char byte) {
  char text[8];
  std::snprintf(text, sizeof text, "\\x%02x", static_cast<unsigned char>(byte));
  out += text;
}

// Keeps each printable character of the terminal's character set, escapes every other byte.
std::string EscapeForTerminal(std::string_view text) {
  std::string out;
  std::mbstate_t state{};
  for (size_t i = 0; i < text.size();) {
    wchar_t c = 0;
    size_t n = std::mbrtowc(&c, text.data() + i, text.size() - i, &state);
    if (n == 0 || n > text.size() - i || !std::iswprint(static_cast<wint_t>(c))) {
      AppendHex(out, text[i++]);
      state = std::mbstate_t{};
      continue;
    }
    out.append(text.data() + i, n);
    i += n;
  }
  return out;
}

}  // namespace

std::string ReadableSize(uint64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1000;
  size_t unit = 0;
  while (value >= 999.95 && unit + 1 < std::size(kUnits)) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string ModeText(uint16_t mode) {
  const uint16_t type = mode & 0xF000;
  // '?' is a kind of entry no listing should hold.
  char text[10] = {type == 0x4000 ? 'd' : type == 0x8000 ? '-' : type == 0xA000 ? 'l' : '?'};
  for (int bit = 0; bit < 9; ++bit) text[1 + bit] = mode & (0400 >> bit) ? "rwx"[bit % 3] : '-';
  return std::string(text, sizeof text);
}

NameDecoder::~NameDecoder() {
  if (converter_ != kNoConverter) iconv_close(converter_);
}

bool NameDecoder::Open(const std::string& charset, std::string* error) {
  const char* terminal = nl_langinfo(CODESET);
  converter_ = iconv_open(terminal, charset.c_str());
  if (converter_ != kNoConverter) return true;
  *error = "no conversion from " + charset + " to the terminal's " + terminal + " is known";
  return false;
}

std::string NameDecoder::Printable(std::string_view name) {
  if (converter_ == kNoConverter) return EscapeForTerminal(name);
  iconv(converter_, nullptr, nullptr, nullptr, nullptr);
  std::string out, converted;
  char* in = const_cast<char*>(name.data());  // iconv's signature; it does not write
  size_t inLeft = name.size();
  while (inLeft > 0) {
    char buffer[256];
    char* to = buffer;
    size_t toLeft = sizeof buffer;
    size_t result = iconv(converter_, &in, &inLeft, &to, &toLeft);
    const int err = errno;
    converted.append(buffer, static_cast<size_t>(to - buffer));
    if (result == static_cast<size_t>(-1) && err != E2BIG) {
      // A byte the character set does not define, or that the terminal cannot show.
      out += EscapeForTerminal(converted);
      converted.clear();
      AppendHex(out, *in++);
      --inLeft;
      iconv(converter_, nullptr, nullptr, nullptr, nullptr);
    }
  }
  char buffer[64];
  char* to = buffer;
  size_t toLeft = sizeof buffer;
  iconv(converter_, nullptr, nullptr, &to, &toLeft);  // a stateful encoding's closing bytes
  converted.append(buffer, static_cast<size_t>(to - buffer));
  return out + EscapeForTerminal(converted);
}

}  // namespace rureza
