// The adapter's names for any stored name (the first byte picks the character set, a prefix
// limit and a rehash count): a name that converts comes back the same, a short-name prefix is
// text in the character set and no longer than asked, and the short name made from it fits
// the record and reads as one. The same bytes as a play request's name resolve without harm.
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "names/adapter_charset.h"
#include "names/adapter_names.h"
#include "names/short_names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kNames[] = {"stored", "CP1252", "SHIFT_JIS", "UTF-8"};
  static rureza::AdapterCharset* const kCharsets[] = {
      new rureza::AdapterCharset(kNames[0]), new rureza::AdapterCharset(kNames[1]),
      new rureza::AdapterCharset(kNames[2]), new rureza::AdapterCharset(kNames[3])};
  if (size == 0) return 0;
  rureza::AdapterCharset& charset = *kCharsets[data[0] % 4];
  const std::string_view name(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string out, back;
  if (charset.ToAdapter(name, &out)) FUZZ_CHECK(charset.FromAdapter(out, &back) && back == name);
  const size_t limit = data[0] % (rureza::kShortNamePrefixLimit + 1);
  const std::string prefix = charset.WritablePrefix(name, limit);
  FUZZ_CHECK(prefix.size() <= limit && charset.FromAdapter(prefix, &back));
  if (charset.stored()) FUZZ_CHECK(prefix.find('\\') == std::string::npos);
  const std::string shortName =
      rureza::ComposeShortName(prefix, rureza::ShortNameHash(name, data[0] % 3), ".mp3");
  FUZZ_CHECK(shortName.size() < rureza::kListedNameLimit && rureza::HasShortNameShape(shortName));
  FUZZ_CHECK(rureza::ShortNamePrefix(shortName) == prefix);
  const rureza::LibraryOptions options{true, true, kNames[data[0] % 4]};
  rureza::ResolvePlayName(options, rureza::ListingFolder::kAudio, "/nonexistent/rureza", name);
  return 0;
}
