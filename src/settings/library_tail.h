// The library tail: the library options in the settings file, right behind the 1026-byte
// record, as text:
//
//   RUREZA-LIBRARY 1          the tag, and the version of this format
//   subfolders=on             on or off
//   short-names=on            on or off
//   charset=CP1252            "stored" or a character set name iconv knows
//   convert=on                on or off
//   photo-size=1920x1080      the box photos are scaled down to fit
//   status=on                 the status page on TCP P+2: on or off
//   status-address=127.0.0.1  the IPv4 address it is bound to (0.0.0.0: every address)
//   video-standard=pal        the TV standard videos are converted to: pal or ntsc
//   subtitles=on              subtitles burnt into converted videos: on or off
//   END
//
// Lines end with "\n" (a "\r" before it is ignored); "key=value" lines come in any order, and
// those of keys this version does not know are kept as they are. Whatever follows the END line
// belongs to someone else and every save keeps it. A file that ends with the record, or has
// something else behind it, has no tail: every option off, as adapters always had it; so is
// conversion in a tail written before it existed. The status page is on, on 127.0.0.1, videos are
// PAL with subtitles, unless a tail says otherwise; a tail says so only where it differs.
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "settings/server_settings.h"

namespace rureza {

inline constexpr std::string_view kLibraryTailTag = "RUREZA-LIBRARY 1";
// A tail whose END line is not within this many bytes counts as cut short.
inline constexpr size_t kMostLibraryTailBytes = 4096;

struct LibraryTail {
  bool found = false;  // the bytes begin with a whole tail of this format
  size_t length = 0;   // its bytes, the END line included; 0 when not found
  LibraryOptions options;
  std::vector<std::string> otherLines;  // "key=value" lines of keys this version does not know
  // Empty, or what was wrong and what is used instead, for one log line.
  std::string problem;
};

// Reads the tail at the start of bytes (what follows the record). A tail that is garbage or cut
// short is not found (every option off); a value that cannot be used turns its option off (an
// unknown character set: "stored").
LibraryTail ReadLibraryTail(std::string_view bytes);

// The tail that says options, with otherLines before its END line.
std::string WriteLibraryTail(const LibraryOptions& options,
                             const std::vector<std::string>& otherLines = {});

}  // namespace rureza
