// How rureza-probe shows what the server sent: sizes, mode words and names that are safe to
// print on the user's terminal.
// Thread safety: the functions are pure; a NameDecoder belongs to one thread.
#pragma once

#include <iconv.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace rureza {

// "512 B", "1.5 kB", "12.3 MB", "4.3 GB" (powers of 1000, as rates in MB/s are).
std::string ReadableSize(uint64_t bytes);

// The mode word as ls shows one: "-rw-rw-rw-", "dr-xr-xr-x".
std::string ModeText(uint16_t mode);

// Turns names as the server sent them into text for the terminal: bytes that are not a
// printable character of the terminal's character set (LC_CTYPE, which main sets from the
// environment) become \xNN. With a charset, names are first converted from it to the
// terminal's; bytes it cannot convert become \xNN too.
class NameDecoder {
 public:
  NameDecoder() = default;
  ~NameDecoder();
  NameDecoder(const NameDecoder&) = delete;
  NameDecoder& operator=(const NameDecoder&) = delete;

  // False (and *error) when no conversion from charset to the terminal's is known.
  bool Open(const std::string& charset, std::string* error);
  std::string Printable(std::string_view name);

 private:
  iconv_t converter_ = reinterpret_cast<iconv_t>(-1);
};

}  // namespace rureza
