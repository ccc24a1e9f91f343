// Which files a media folder shows the adapter, and so which a play request may name: the
// endings each kind of folder lists, the ending a file is listed under, and how long a listed
// name may be (the listing record's 40-byte name field holds it with its zero byte).
// With conversion on, the audio folder also lists songs of other formats under ".mp3", the
// photo folder photos of other formats under ".jpg" and the video folder videos of other
// formats under ".mpg" (EndingOf): this is the one place that knows which by their endings.
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <string_view>

namespace rureza {

// A name this long or longer does not fit the record's name field.
inline constexpr size_t kListedNameLimit = 40;

// The media folders in the order the listing walks them.
enum class ListingFolder { kVideo, kAudio, kPhoto };

// True when name's last four bytes are one of the endings listed from folder: "." exactly,
// letters in either ASCII case, the "3" of ".mp3" exactly. A name of four bytes or fewer
// never matches (".", "..", and a bare ".mp3"). With convert, also the endings of the sources
// the folder converts (any ASCII case; a name that is nothing but the ending never matches).
bool EndingBelongsTo(ListingFolder folder, std::string_view name, bool convert = false);

// How a file of folder is listed.
struct MediaEnding {
  size_t size = 0;            // bytes of the file's own ending, its "." included; 0: not listed
  bool converted = false;     // a source listed under the folder's converted ending
  std::string_view listed{};  // the ending it is listed under: its own last four bytes, or
                              // ".mp3" / ".jpg" / ".mpg" for a converted source
};
MediaEnding EndingOf(ListingFolder folder, std::string_view name, bool convert);
// The ending folder's converted sources are listed under: ".mp3", ".jpg", ".mpg".
std::string_view ConvertedEnding(ListingFolder folder);

// The ending a listed file's name (or path) keeps in its short name: its last four bytes.
// REQUIRES: EndingBelongsTo(some folder, name).
inline std::string_view ListedEnding(std::string_view name) { return name.substr(name.size() - 4); }

}  // namespace rureza
