#include "settings/library_tail.h"

#include "platform/charset.h"

namespace rureza {
namespace {

constexpr std::string_view kEnd = "END";

bool IsKey(std::string_view key) {
  if (key.empty()) return false;
  for (char c : key) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) return false;
  }
  return true;
}

bool IsValue(std::string_view value) {
  for (char c : value) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// An on/off value into *option; a problem line otherwise (the option then stays off).
void ReadSwitch(std::string_view key, std::string_view value, bool* option, std::string* problem) {
  if (value == "on" || value == "off") {
    *option = value == "on";
  } else if (problem->empty()) {
    *problem = std::string(key) + "=" + std::string(value) + " is neither on nor off; it is off";
  }
}

}  // namespace

LibraryTail ReadLibraryTail(std::string_view bytes) {
  LibraryTail tail;
  if (bytes.empty()) return tail;
  auto notFound = [&](std::string problem) {
    LibraryTail none;
    none.problem = std::move(problem) + "; every library option is off";
    return none;
  };
  bytes = bytes.substr(0, kMostLibraryTailBytes);
  size_t at = 0;
  bool first = true;
  for (;;) {
    const size_t end = bytes.find('\n', at);
    if (end == std::string_view::npos) {
      return notFound(first && !bytes.starts_with("RUREZA-LIBRARY ")
                          ? "the bytes after the settings record are not library options"
                          : "the library options after the settings record are cut short");
    }
    std::string_view line = bytes.substr(at, end - at);
    if (line.ends_with('\r')) line.remove_suffix(1);
    at = end + 1;
    if (first) {
      if (line == kLibraryTailTag) {
        first = false;
        continue;
      }
      return notFound(line.starts_with("RUREZA-LIBRARY ")
                          ? "library options of another version (" + std::string(line) + ")"
                          : "the bytes after the settings record are not library options");
    }
    if (line == kEnd) break;
    const size_t equals = line.find('=');
    const std::string_view key = line.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : line.substr(equals + 1);
    if (equals == std::string_view::npos || !IsKey(key) || !IsValue(value)) {
      return notFound("a line of the library options cannot be read");
    }
    if (key == "subfolders") {
      ReadSwitch(key, value, &tail.options.subfolders, &tail.problem);
    } else if (key == "short-names") {
      ReadSwitch(key, value, &tail.options.shortNames, &tail.problem);
    } else if (key == "charset") {
      tail.options.charset = CharsetOptionName(value);
    } else if (key == "convert") {
      ReadSwitch(key, value, &tail.options.convert, &tail.problem);
    } else if (key == "status") {
      ReadSwitch(key, value, &tail.options.statusPage, &tail.problem);
    } else if (key == "status-address") {
      if (IsIpv4Address(value)) {
        tail.options.statusAddress = value;
      } else if (tail.problem.empty()) {
        tail.problem = "status-address=" + std::string(value) + " is no IPv4 address; " +
                       kDefaultStatusAddress + " is used";
      }
    } else if (key == "subtitles") {
      // Off only where it says so: a tail that cannot say it leaves them on.
      tail.options.subtitles = value != "off";
      if (value != "on" && value != "off" && tail.problem.empty()) {
        tail.problem = "subtitles=" + std::string(value) + " is neither on nor off; they are on";
      }
    } else if (key == "video-standard") {
      if (!ParseTvStandard(value, &tail.options.videoStandard) && tail.problem.empty()) {
        tail.problem = "video-standard=" + std::string(value) + " is neither pal nor ntsc; " +
                       TvStandardText(tail.options.videoStandard) + " is used";
      }
    } else if (key == "photo-size") {
      if (!ParsePhotoSize(value, &tail.options.photoSize) && tail.problem.empty()) {
        tail.problem = "photo-size=" + std::string(value) +
                       " is not WIDTHxHEIGHT of 1-16384 each; " +
                       PhotoSizeText(tail.options.photoSize) + " is used";
      }
    } else {
      tail.otherLines.emplace_back(line);
    }
  }
  if (tail.options.charset != kStoredCharset &&
      CheckCharset(tail.options.charset) != CharsetFit::kUsable) {
    if (tail.problem.empty()) {
      tail.problem =
          "character set " + tail.options.charset + " cannot be used here; names go out as stored";
    }
    tail.options.charset = kStoredCharset;
  }
  tail.found = true;
  tail.length = at;
  return tail;
}

std::string WriteLibraryTail(const LibraryOptions& options,
                             const std::vector<std::string>& otherLines) {
  std::string text = std::string(kLibraryTailTag) + "\n";
  text += std::string("subfolders=") + (options.subfolders ? "on" : "off") + "\n";
  text += std::string("short-names=") + (options.shortNames ? "on" : "off") + "\n";
  text += "charset=" + options.charset + "\n";
  text += std::string("convert=") + (options.convert ? "on" : "off") + "\n";
  text += "photo-size=" + PhotoSizeText(options.photoSize) + "\n";
  // The status page's lines only where they differ from what a tail without them means.
  if (!options.statusPage) text += "status=off\n";
  if (options.statusAddress != kDefaultStatusAddress) {
    text += "status-address=" + options.statusAddress + "\n";
  }
  if (options.videoStandard != TvStandard::kPal) {
    text += std::string("video-standard=") + TvStandardText(options.videoStandard) + "\n";
  }
  if (!options.subtitles) text += "subtitles=off\n";
  for (const std::string& line : otherLines) text += line + "\n";
  return text + std::string(kEnd) + "\n";
}

}  // namespace rureza
