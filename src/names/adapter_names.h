// The names the adapter sees: which files a media folder lists under which names, and which
// file a play request's name stands for, as the library options say. The listing and the
// request dispatcher both ask here, so a name listed is a name that plays.
// With every option off the listing holds what it always held, in natural name order: one
// level, names as stored, a name of 40 bytes or more refused; a play request names only what
// such a listing could list.
// With conversion on, a source the folder converts ("01 Title.flac") is listed under its name
// with the converted ending ("01 Title.mp3") where no file listed as it is, and no source
// before it, takes that name; else it needs a short name like a name that does not fit.
// Thread safety: any number of listings and requests may run at once; they share only the
// process's ShortNameIndex.
#pragma once

#include <string>
#include <string_view>

#include "names/library_walk.h"
#include "names/media_endings.h"
#include "platform/directory.h"
#include "settings/server_settings.h"

namespace rureza {

struct ListedEntry {
  std::string_view name;  // what the adapter gets; fits the record
  std::string_view path;  // relative to the media folder, as stored
  MediaEnding ending;     // converted: a source listed under the converted ending
  bool attributesRead = false;
  EntryAttributes attributes{};
};

class ListingSink {
 public:
  virtual ~ListingSink() = default;
  // Asked before each entry of the walk; true ends the listing.
  virtual bool Stopped() = 0;
  // An entry listed under entry.name; false ends the listing.
  virtual bool Listed(const ListedEntry& entry) = 0;
  // An entry whose name does not fit the record, or cannot be written in the adapter's
  // character set, and gets no short name (path as stored); false ends the listing.
  virtual bool Refused(std::string_view path) = 0;
};

// Lists the media folder of kind (a server path) in listing order (library_walk.h), each entry
// as the walk finds it: under its own name when that fits, else, with short names, under its
// short name (short_names.h), which is remembered in ListedShortNames(). False when the sink
// ended the listing. check: see WalkLibrary.
bool ListMediaFolder(const LibraryOptions& options, ListingFolder kind, const std::string& folder,
                     ListingSink& sink, const OwnEndingCheck* check = nullptr);

struct PlayName {
  std::string shown;      // the name for the log: as sent (converted), or the path it stood for
  std::string relative;   // the path relative to the media folder as the file system takes it
  bool listable = false;  // false (also for an unset folder): refused like a missing file
  bool mustStayInside = false;  // in a subfolder: it must resolve inside the media folder
  bool converted = false;       // a source played through a conversion
};

// The file a play request's name stands for. The name is converted back from the adapter's
// character set (taken as sent when it is not text in it). A name that is a file as it stands
// is that file, backslashes and all; otherwise each "\" separates folders, as some adapters
// name a subfolder's file. With short names, a name shaped like a short name that is not a file
// stands for the file a listing gave it to: looked up among the names listings gave out, and on
// a miss found by walking the folder; a name the rule gave out before tags existed, or before a
// clash changed it, is found by its hash part. The name must then be one a listing could list
// (ListableName): a hidden, too deep or other kind of file is not, nor, with subfolders off,
// one in a folder. With conversion on, a name with the converted ending that is no file (with
// subfolders: nor a folder, which is entered, never listed) stands for the source a listing gave
// it to (of those with its stem, the least in bytes), found among what the last read of its
// folder found while the folder is unchanged (ConvertedSources), and the source's own name
// plays it too. With check, a file of the folder's own endings it says must be converted is
// such a source too, as listings list it.
PlayName ResolvePlayName(const LibraryOptions& options, ListingFolder kind,
                         const std::string& folder, std::string_view name,
                         const OwnEndingCheck* check = nullptr);

}  // namespace rureza
