// Text that is safe to show to a person: in the activity log, on a terminal. A name from the
// network or from disk may hold control bytes (a forged line end, terminal escapes), bytes that
// are no text at all, or characters that change how the text around them reads (bidirectional
// overrides, zero-width characters); each such byte is shown as \xNN instead.
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rureza {

// A code point that is displayed as something other than itself or that changes how the text
// around it is displayed: the format characters (Unicode category Cf: bidirectional controls,
// zero-width characters, ...), the line and paragraph separators, and the noncharacters.
bool IsFormatCharacter(char32_t c);

// The length of the well-formed UTF-8 character at the start of text (no overlong form, no
// surrogate, at most U+10FFFF) and the character in *c; 0 when text does not start with one.
size_t DecodeUtf8(std::string_view text, char32_t* c);

// text with every byte that is not part of a printable UTF-8 character (C0 and C1 controls,
// DEL, bytes that are no UTF-8, format characters) written as \xNN. Printable ASCII, the
// backslash included, stays as it is.
std::string ShowableText(std::string_view text);

}  // namespace rureza
