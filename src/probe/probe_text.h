// How rureza-probe shows what the server sent, and takes back what it showed: sizes, mode words,
// and names that are safe to print on the user's terminal and can be pasted into a command.
// Thread safety: the functions are pure; a NameDecoder or NameEncoder belongs to one thread.
#pragma once

#include <iconv.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rureza {

// "512 B", "1.5 kB", "12.3 MB", "4.3 GB" (powers of 1000, as rates in MB/s are).
std::string ReadableSize(uint64_t bytes);

// The mode word as ls shows one: "-rw-rw-rw-", "dr-xr-xr-x".
std::string ModeText(uint16_t mode);

// Turns names as the server sent them into text for the terminal: each character that prints
// as itself in the terminal's character set (LC_CTYPE, which main sets from the environment)
// is kept; every byte of a name that is not part of one (control bytes, bytes of no character,
// format characters such as bidirectional overrides) becomes \xNN, the name's own byte. A
// backslash that would read as the start of such an escape is \x5c. With a charset, names are
// first converted from it to the terminal's. NameEncoder reads such text back.
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
  // The length of the character at the start of name (0: none) and its text for the terminal.
  size_t NextCharacter(std::string_view name, std::string* text);

  iconv_t converter_ = reinterpret_cast<iconv_t>(-1);
};

// The bytes an adapter sends for a name typed as NameDecoder shows it: \xNN is that byte, any
// other text is converted from the terminal's character set to the charset (unchanged without
// one).
class NameEncoder {
 public:
  NameEncoder() = default;
  ~NameEncoder();
  NameEncoder(const NameEncoder&) = delete;
  NameEncoder& operator=(const NameEncoder&) = delete;

  // False (and *error) when no conversion from the terminal's character set to charset is known.
  bool Open(const std::string& charset, std::string* error);
  // nullopt (and *error) when a character of typed cannot be written in the charset.
  std::optional<std::string> Encode(std::string_view typed, std::string* error);

 private:
  iconv_t converter_ = reinterpret_cast<iconv_t>(-1);
  std::string charset_;
};

}  // namespace rureza
