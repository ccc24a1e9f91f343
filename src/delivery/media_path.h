// MediaPath: the path a request names, as the server writes it ("folder\name"), where it is
// opened, and whether it may be served at all. A name that stands for nothing a listing could
// list, or a folder the settings leave empty, gives an unservable path, which fails to open
// exactly like a missing file.
#pragma once

#include <string>

#include "conversion/conversions.h"
#include "names/library_walk.h"
#include "platform/file.h"

namespace rureza {

struct MediaPath {
  std::string text;      // for log lines, and for opening when open is empty
  bool servable = true;  // false: refused like a file that cannot be opened
  // When set, an absolute folder path without symbolic links: the file opened must lie inside
  // it once every link is resolved, or it is refused like a file that cannot be opened.
  std::string insideOf{};
  // When set, the path to open as the file system takes it (a backslash is part of a name);
  // otherwise text with its backslashes taken for folder separators.
  std::string open{};
  // A song, photo or video of another format: what is sent is its conversion.
  bool converted = false;
};

// Opens a media file read-only and shared; an invalid File when it cannot be opened or the
// path is not servable.
File OpenMediaFile(const MediaPath& path);

// The source a conversion reads: the file opened for path by OpenMediaFile (another handle on
// it; the converter reads what was checked) and the path it is known by, where it lies once
// every link is resolved when it must lie inside a folder, else path.open. Its file is invalid
// when file is.
SourceFile ConversionSource(const MediaPath& path, const File& file);

// Whether a video of the folder's own endings must be converted, as the names layer asks it of
// a file in the video folder (a server path): as measured, from memory only. Null conversions:
// none must.
class MeasuredVideoCheck : public OwnEndingCheck {
 public:
  MeasuredVideoCheck(const Conversions* conversions, const std::string& folder)
      : conversions_(conversions), base_(NativePath(folder) + "/") {}
  bool MustConvert(std::string_view path, const EntryAttributes& attributes) const override;

 private:
  const Conversions* const conversions_;
  const std::string base_;
};

}  // namespace rureza
