// CharsetConverter: a move-only owner of one iconv conversion descriptor. Conversions are
// strict: bytes that are not a character of the source, or a character the target cannot
// write, fail the whole conversion; nothing is guessed, dropped or transliterated.
// Thread safety: one thread uses a converter at a time (iconv keeps its state in the
// descriptor); CheckCharset may be called from any thread.
#pragma once

#include <iconv.h>

#include <string>
#include <string_view>
#include <utility>

namespace rureza {

class CharsetConverter {
 public:
  CharsetConverter() = default;
  // From the character set called from to the one called to; invalid when iconv knows either
  // of them not.
  CharsetConverter(const std::string& to, const std::string& from);
  ~CharsetConverter() { Close(); }
  CharsetConverter(CharsetConverter&& other) noexcept : cd_(std::exchange(other.cd_, kNone)) {}
  CharsetConverter& operator=(CharsetConverter&& other) noexcept {
    if (this != &other) {
      Close();
      cd_ = std::exchange(other.cd_, kNone);
    }
    return *this;
  }
  CharsetConverter(const CharsetConverter&) = delete;
  CharsetConverter& operator=(const CharsetConverter&) = delete;

  bool valid() const { return cd_ != kNone; }
  // Replaces *out with in converted; false (and *out unspecified) when in does not convert.
  // Each call starts from the initial shift state and ends in it.
  bool Convert(std::string_view in, std::string* out);

 private:
  static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);
  void Close();

  iconv_t cd_ = kNone;
};

enum class CharsetFit { kUsable, kUnknown, kNotAsciiCompatible };

// Whether names can go to an adapter in the character set called name (any case): a plain
// name (letters, digits, "-_.:"; no iconv "//" options) that iconv converts to and from UTF-8,
// and that writes printable ASCII as the same single bytes, as the endings, the folder
// separator and the short names need.
CharsetFit CheckCharset(std::string_view name);

}  // namespace rureza
