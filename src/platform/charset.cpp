#include "platform/charset.h"

#include <cerrno>

namespace rureza {

CharsetConverter::CharsetConverter(const std::string& to, const std::string& from)
    : cd_(::iconv_open(to.c_str(), from.c_str())) {}

void CharsetConverter::Close() {
  if (cd_ != kNone) {
    ::iconv_close(cd_);
    cd_ = kNone;
  }
}

bool CharsetConverter::Convert(std::string_view in, std::string* out) {
  if (cd_ == kNone) return false;
  ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
  out->resize(in.size() * 4 + 16);
  char* input = const_cast<char*>(in.data());  // iconv's signature; it does not write there
  size_t inputLeft = in.size();
  size_t used = 0;
  for (bool flushing = false;;) {
    char* output = out->data() + used;
    size_t outputLeft = out->size() - used;
    size_t result = flushing ? ::iconv(cd_, nullptr, nullptr, &output, &outputLeft)
                             : ::iconv(cd_, &input, &inputLeft, &output, &outputLeft);
    used = out->size() - outputLeft;
    if (result == static_cast<size_t>(-1)) {
      if (errno != E2BIG) return false;  // EILSEQ or EINVAL: not a character, or no room for one
      out->resize(out->size() * 2);
      continue;
    }
    // A character the target lacks is counted as an irreversible conversion by some iconvs.
    if (result != 0) return false;
    if (flushing) break;
    flushing = true;  // back to the initial shift state, so the text stands on its own
  }
  out->resize(used);
  return true;
}

CharsetFit CheckCharset(std::string_view name) {
  if (name.empty() || name.size() > 64) return CharsetFit::kUnknown;
  for (char c : name) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '_' || c == '.' || c == ':';
    if (!plain) return CharsetFit::kUnknown;
  }
  const std::string charset(name);
  CharsetConverter to(charset, "UTF-8");
  CharsetConverter from("UTF-8", charset);
  if (!to.valid() || !from.valid()) return CharsetFit::kUnknown;
  std::string ascii;
  for (char c = ' '; c <= '~'; ++c) ascii += c;
  std::string there;
  std::string back;
  if (!to.Convert(ascii, &there) || there != ascii || !from.Convert(there, &back) ||
      back != ascii) {
    return CharsetFit::kNotAsciiCompatible;
  }
  return CharsetFit::kUsable;
}

}  // namespace rureza
