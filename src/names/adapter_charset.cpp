#include "names/adapter_charset.h"

#include "settings/server_settings.h"

namespace rureza {
namespace {

bool IsUsable(const std::string& name) {
  return name != kStoredCharset && CheckCharset(name) == CharsetFit::kUsable;
}

}  // namespace

size_t Utf8CharacterLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t length = 1;
  if (lead >= 0xC2 && lead < 0xE0) {
    length = 2;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    length = 3;
  } else if (lead >= 0xF0 && lead < 0xF5) {
    length = 4;
  }
  if (length > text.size()) return 1;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 1;
  }
  // Overlong three- and four-byte forms, surrogates and code points past U+10FFFF.
  if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) >= 0xA0) ||
      (lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) >= 0x90)) {
    return 1;
  }
  return length;
}

AdapterCharset::AdapterCharset(const std::string& name)
    : stored_(!IsUsable(name)),
      to_(stored_ ? CharsetConverter() : CharsetConverter(name, "UTF-8")),
      from_(stored_ ? CharsetConverter() : CharsetConverter("UTF-8", name)) {}

bool AdapterCharset::ToAdapter(std::string_view stored, std::string* out) {
  if (stored_) {
    out->assign(stored);
    return true;
  }
  return to_.Convert(stored, out) && from_.Convert(*out, &back_) && back_ == stored;
}

bool AdapterCharset::FromAdapter(std::string_view adapter, std::string* out) {
  if (stored_) {
    out->assign(adapter);
    return true;
  }
  return from_.Convert(adapter, out);
}

std::string AdapterCharset::WritablePrefix(std::string_view stored, size_t limit) {
  std::string prefix;
  bool replaced = false;  // the last thing written is a '_' for what could not be
  while (!stored.empty()) {
    const size_t length = Utf8CharacterLength(stored);
    const std::string_view character = stored.substr(0, length);
    stored.remove_prefix(length);
    bool writable = character != "\\";
    if (writable && !stored_) writable = ToAdapter(character, &character_);
    if (writable) {
      std::string_view bytes = stored_ ? character : std::string_view(character_);
      if (prefix.size() + bytes.size() > limit) break;
      prefix.append(bytes);
      replaced = false;
    } else if (!replaced) {
      if (prefix.size() + 1 > limit) break;
      prefix += '_';
      replaced = true;
    }
  }
  return prefix;
}

}  // namespace rureza
