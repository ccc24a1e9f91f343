#include "probe/probe_text.h"

#include <langinfo.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <iterator>

#include "platform/text.h"

namespace rureza {
namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);
// The longest character of the multibyte character sets an adapter uses (GB18030).
constexpr size_t kLongestCharacter = 4;

void AppendHex(std::string& out, char byte) {
  char text[8];
  std::snprintf(text, sizeof text, "\\x%02x", static_cast<unsigned char>(byte));
  out += text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// text starts with \xNN; *byte is NN.
bool StartsWithEscape(std::string_view text, char* byte = nullptr) {
  if (text.size() < 4 || text[0] != '\\' || text[1] != 'x') return false;
  int high = HexValue(text[2]), low = HexValue(text[3]);
  if (high < 0 || low < 0) return false;
  if (byte) *byte = static_cast<char>(high << 4 | low);
  return true;
}

// Text in the terminal's character set that prints as itself: no control or format character,
// nothing that is not a character.
bool PrintsAsItself(std::string_view text) {
  std::mbstate_t state{};
  for (size_t i = 0; i < text.size();) {
    wchar_t c = 0;
    size_t n = std::mbrtowc(&c, text.data() + i, text.size() - i, &state);
    if (n == 0 || n > text.size() - i || !std::iswprint(static_cast<wint_t>(c)) ||
        IsFormatCharacter(static_cast<char32_t>(c))) {
      return false;
    }
    i += n;
  }
  return true;
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

size_t NameDecoder::NextCharacter(std::string_view name, std::string* text) {
  if (converter_ == kNoConverter) {
    std::mbstate_t state{};
    wchar_t c = 0;
    size_t n = std::mbrtowc(&c, name.data(), name.size(), &state);
    if (n == 0 || n > name.size()) return 0;
    text->assign(name.substr(0, n));
    return n;
  }
  // Character by character (the character sets adapters use keep no shift state), so that
  // what cannot be shown is escaped as the name's own bytes.
  for (size_t n = 1; n <= std::min(name.size(), kLongestCharacter); ++n) {
    iconv(converter_, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(name.data());  // iconv's signature; it does not write
    size_t inLeft = n;
    char buffer[32];
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    if (iconv(converter_, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1)) {
      text->assign(buffer, static_cast<size_t>(out - buffer));
      return n;
    }
    if (errno != EINVAL) return 0;  // no character of the charset, or none the terminal has
  }
  return 0;
}

std::string NameDecoder::Printable(std::string_view name) {
  std::string out, text;
  for (size_t i = 0; i < name.size();) {
    const size_t n = NextCharacter(name.substr(i), &text);
    const bool kept = n > 0 && PrintsAsItself(text) &&
                      !(name[i] == '\\' && n == 1 && StartsWithEscape(name.substr(i)));
    if (kept) {
      out += text;
    } else {
      for (size_t end = i + std::max<size_t>(n, 1); i < end; ++i) AppendHex(out, name[i]);
      continue;
    }
    i += n;
  }
  return out;
}

NameEncoder::~NameEncoder() {
  if (converter_ != kNoConverter) iconv_close(converter_);
}

bool NameEncoder::Open(const std::string& charset, std::string* error) {
  const char* terminal = nl_langinfo(CODESET);
  converter_ = iconv_open(charset.c_str(), terminal);
  charset_ = charset;
  if (converter_ != kNoConverter) return true;
  *error =
      "no conversion from the terminal's " + std::string(terminal) + " to " + charset + " is known";
  return false;
}

std::optional<std::string> NameEncoder::Encode(std::string_view typed, std::string* error) {
  std::string out, text;
  auto flush = [&] {
    if (converter_ == kNoConverter || text.empty()) {
      out += text;
    } else {
      iconv(converter_, nullptr, nullptr, nullptr, nullptr);
      char* in = text.data();
      size_t inLeft = text.size();
      while (inLeft > 0) {
        char buffer[256];
        char* to = buffer;
        size_t toLeft = sizeof buffer;
        size_t result = iconv(converter_, &in, &inLeft, &to, &toLeft);
        out.append(buffer, static_cast<size_t>(to - buffer));
        if (result == static_cast<size_t>(-1) && errno != E2BIG) return false;
      }
    }
    text.clear();
    return true;
  };
  for (size_t i = 0; i < typed.size();) {
    char byte;
    if (StartsWithEscape(typed.substr(i), &byte)) {
      if (!flush()) break;
      out += byte;
      i += 4;
    } else {
      text += typed[i++];
    }
  }
  if (!flush()) {
    *error = "the name cannot be written in " + charset_ + " (write such a character as \\xNN)";
    return std::nullopt;
  }
  return out;
}

}  // namespace rureza
