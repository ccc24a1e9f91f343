#include "names/media_endings.h"

namespace rureza {
namespace {

constexpr std::string_view kVideoEndings[] = {".mpg", ".avi", ".vob", ".dat"};
constexpr std::string_view kAudioEndings[] = {".mp3"};
constexpr std::string_view kPhotoEndings[] = {".jpg"};

bool IsLowerLetter(char c) { return c >= 'a' && c <= 'z'; }

// ending is written in lower case; only its letters match in either case.
bool EndingMatches(std::string_view last4, std::string_view ending) {
  for (size_t i = 0; i < ending.size(); ++i) {
    char want = ending[i];
    char got = last4[i];
    if (IsLowerLetter(want) ? (got != want && got != want - 'a' + 'A') : got != want) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool EndingBelongsTo(ListingFolder folder, std::string_view name) {
  if (name.size() <= 4) return false;
  std::string_view last4 = name.substr(name.size() - 4);
  auto anyOf = [last4](const auto& endings) {
    for (std::string_view ending : endings) {
      if (EndingMatches(last4, ending)) return true;
    }
    return false;
  };
  switch (folder) {
    case ListingFolder::kVideo:
      return anyOf(kVideoEndings);
    case ListingFolder::kAudio:
      return anyOf(kAudioEndings);
    case ListingFolder::kPhoto:
      return anyOf(kPhotoEndings);
  }
  return false;
}

}  // namespace rureza
