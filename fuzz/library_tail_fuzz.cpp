// The library tail reader for any bytes behind the settings record: it never takes more than
// it was given, a tail it finds ends with its END line, one it does not find leaves every
// option off, and what it read, written again, reads back the same with nothing to complain of.
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "settings/library_tail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const rureza::LibraryTail tail = rureza::ReadLibraryTail(bytes);
  FUZZ_CHECK(tail.found == (tail.length > 0));
  FUZZ_CHECK(tail.length <= size && tail.length <= rureza::kMostLibraryTailBytes);
  if (!tail.found) {
    FUZZ_CHECK(tail.options == rureza::LibraryOptions{} && tail.otherLines.empty());
    return 0;
  }
  FUZZ_CHECK(bytes.substr(0, tail.length).ends_with('\n'));
  const std::string again = rureza::WriteLibraryTail(tail.options, tail.otherLines);
  const rureza::LibraryTail reread = rureza::ReadLibraryTail(again + "what follows");
  FUZZ_CHECK(reread.found && reread.length == again.size() && reread.problem.empty());
  FUZZ_CHECK(reread.options == tail.options && reread.otherLines == tail.otherLines);
  return 0;
}
