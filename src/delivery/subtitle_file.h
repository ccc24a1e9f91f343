// The subtitle file beside a video that is converted: "film.srt", "film.en.srt", ".ass", ".ssa"
// or ".vtt" (any case) with the video's own name in front, the one in the locale's language
// first ("film.de.srt" for de_DE), then one without a language, then any other, each kind in
// that order of endings. It is opened as a play request's file is, and must lie inside the
// media folder once every link is resolved (also at the folder's top, where a video's link is
// taken as it always was): the converter burns what it reads into the picture.
// Thread safety: a function over the file system, any thread.
#pragma once

#include <string>
#include <string_view>

#include "conversion/conversions.h"
#include "delivery/media_path.h"

namespace rureza {

// The subtitle file beside video (a path formed for a play), in mediaFolder (a server path);
// an invalid file when there is none. language: the locale's ("de"; empty: none preferred).
SourceFile SubtitleFileBeside(const MediaPath& video, const std::string& mediaFolder,
                              std::string_view language);

}  // namespace rureza
