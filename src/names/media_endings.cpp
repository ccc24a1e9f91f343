#include "names/media_endings.h"

namespace rureza {
namespace {

constexpr std::string_view kVideoEndings[] = {".mpg", ".avi", ".vob", ".dat"};
constexpr std::string_view kAudioEndings[] = {".mp3"};
constexpr std::string_view kPhotoEndings[] = {".jpg"};
// What the converter reads: songs become constant-bitrate MP3s, photos baseline JPEGs.
constexpr std::string_view kSongSources[] = {".flac", ".m4a", ".aac", ".ogg",  ".oga",
                                             ".opus", ".wav", ".aif", ".aiff", ".wma",
                                             ".ape",  ".wv",  ".mka"};
constexpr std::string_view kPhotoSources[] = {".jpeg", ".jpe", ".png",  ".heic", ".heif",
                                              ".webp", ".tif", ".tiff", ".gif",  ".bmp"};
// Videos become MPEG-2 program streams.
constexpr std::string_view kVideoSources[] = {".mp4",  ".m4v", ".mkv", ".mov", ".webm", ".ts",
                                              ".m2ts", ".mts", ".wmv", ".flv", ".3gp",  ".ogv"};

bool IsLowerLetter(char c) { return c >= 'a' && c <= 'z'; }

// ending is written in lower case; only its letters match in either case. REQUIRES: the sizes
// are equal.
bool EndingMatches(std::string_view last, std::string_view ending) {
  for (size_t i = 0; i < ending.size(); ++i) {
    char want = ending[i];
    char got = last[i];
    if (IsLowerLetter(want) ? (got != want && got != want - 'a' + 'A') : got != want) {
      return false;
    }
  }
  return true;
}

// The ending of endings that name ends in (and is longer than), or empty.
template <size_t N>
std::string_view EndsIn(std::string_view name, const std::string_view (&endings)[N]) {
  for (std::string_view ending : endings) {
    if (name.size() > ending.size() &&
        EndingMatches(name.substr(name.size() - ending.size()), ending)) {
      return ending;
    }
  }
  return {};
}

}  // namespace

bool EndingBelongsTo(ListingFolder folder, std::string_view name, bool convert) {
  return EndingOf(folder, name, convert).size != 0;
}

MediaEnding EndingOf(ListingFolder folder, std::string_view name, bool convert) {
  std::string_view own;
  switch (folder) {
    case ListingFolder::kVideo:
      own = EndsIn(name, kVideoEndings);
      break;
    case ListingFolder::kAudio:
      own = EndsIn(name, kAudioEndings);
      break;
    case ListingFolder::kPhoto:
      own = EndsIn(name, kPhotoEndings);
      break;
  }
  if (!own.empty()) return {own.size(), false, name.substr(name.size() - own.size())};
  if (!convert) return {};
  const std::string_view source = folder == ListingFolder::kAudio   ? EndsIn(name, kSongSources)
                                  : folder == ListingFolder::kPhoto ? EndsIn(name, kPhotoSources)
                                                                    : EndsIn(name, kVideoSources);
  if (source.empty()) return {};
  return {source.size(), true, ConvertedEnding(folder)};
}

std::string_view ConvertedEnding(ListingFolder folder) {
  switch (folder) {
    case ListingFolder::kAudio:
      return kAudioEndings[0];
    case ListingFolder::kPhoto:
      return kPhotoEndings[0];
    case ListingFolder::kVideo:
      return kVideoEndings[0];
  }
  return {};
}

}  // namespace rureza
