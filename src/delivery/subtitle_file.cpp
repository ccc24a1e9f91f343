#include "delivery/subtitle_file.h"

#include <optional>
#include <tuple>

#include "names/library_walk.h"
#include "platform/directory.h"

namespace rureza {
namespace {

constexpr std::string_view kEndings[] = {".srt", ".ass", ".ssa", ".vtt"};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameInAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// How well name suits as the subtitles of stem (lower is better); nullopt when it does not.
std::optional<std::tuple<int, size_t>> Rank(std::string_view name, std::string_view stem,
                                            std::string_view language) {
  if (name.size() < stem.size() + 4 || !name.starts_with(stem) || name[stem.size()] != '.') {
    return std::nullopt;
  }
  for (size_t kind = 0; kind < std::size(kEndings); ++kind) {
    if (!SameInAsciiCase(name.substr(name.size() - 4), kEndings[kind])) continue;
    if (name.size() == stem.size() + 4) return std::tuple{1, kind};  // "film.srt"
    const std::string_view tag = name.substr(stem.size() + 1, name.size() - stem.size() - 5);
    if (tag.empty() || tag.find('.') != std::string_view::npos) return std::nullopt;
    // "en", "en-US", "en_GB": the language before the region.
    const std::string_view own = tag.substr(0, tag.find_first_of("-_"));
    return std::tuple{!language.empty() && SameInAsciiCase(own, language) ? 0 : 2, kind};
  }
  return std::nullopt;
}

}  // namespace

SourceFile SubtitleFileBeside(const MediaPath& video, const std::string& mediaFolder,
                              std::string_view language) {
  const size_t slash = video.open.rfind('/');
  if (!video.servable || slash == std::string::npos) return {};
  const std::string folder = video.open.substr(0, slash);
  const std::string_view name = std::string_view(video.open).substr(slash + 1);
  const std::string_view stem = name.substr(0, name.rfind('.'));
  DirectoryWalk dir;
  if (stem.empty() || !dir.OpenNative(folder)) return {};
  std::optional<std::tuple<int, size_t, std::string>> best;
  EntryType type;
  while (const char* entry = dir.Next(&type)) {
    const std::optional<std::tuple<int, size_t>> rank = Rank(entry, stem, language);
    if (!rank) continue;
    std::tuple<int, size_t, std::string> candidate{std::get<0>(*rank), std::get<1>(*rank), entry};
    if (!best || candidate < *best) best = std::move(candidate);
  }
  if (!best) return {};
  MediaPath subtitles;
  subtitles.text = subtitles.open = folder + "/" + std::get<2>(*best);
  subtitles.insideOf = video.insideOf.empty() ? RealPath(NativePath(mediaFolder)) : video.insideOf;
  subtitles.servable = !subtitles.insideOf.empty();
  File file = OpenMediaFile(subtitles);
  if (!file.valid()) return {};
  return {std::move(file), subtitles.open};
}

}  // namespace rureza
