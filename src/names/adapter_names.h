// The names the adapter sees: which files a media folder lists under which names, and which
// file a play request's name stands for, as the library options say. The listing and the
// request dispatcher both ask here, so a name listed is a name that plays.
// With every option off this is what the server always did: one level, names as stored, a name
// of 40 bytes or more refused.
// Thread safety: any number of listings and requests may run at once; they share only the
// process's ShortNameIndex.
#pragma once

#include <string>
#include <string_view>

#include "names/media_endings.h"
#include "platform/directory.h"
#include "settings/server_settings.h"

namespace rureza {

struct ListedEntry {
  std::string_view name;  // what the adapter gets; fits the record
  std::string_view path;  // relative to the media folder, as stored
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

// Lists the media folder of kind (a server path). Entries whose names fit come as the walk
// finds them. With short names, those that need one come after them, once the walk has ended
// (a clash between short names is settled among all of them), and the names given out are
// remembered in ListedShortNames(). False when the sink ended the listing.
bool ListMediaFolder(const LibraryOptions& options, ListingFolder kind, const std::string& folder,
                     ListingSink& sink);

struct PlayName {
  std::string path;             // relative to the media folder, as stored
  bool mustStayInside = false;  // a subfolder's file: it must resolve inside the media folder
};

// The file a play request's name stands for: the name converted back from the adapter's
// character set (taken as sent when it is not text in it). With short names, a name shaped
// like a short name that is not itself a file is looked up among the names listings gave out,
// and on a miss found by walking the folder. A name that stands for nothing comes back as
// converted, and fails to open like any missing file.
PlayName ResolvePlayName(const LibraryOptions& options, ListingFolder kind,
                         const std::string& folder, std::string_view name);

}  // namespace rureza
