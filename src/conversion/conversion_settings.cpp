#include "conversion/conversion_settings.h"

#include <unistd.h>

#include <cstdlib>

#include "conversion/mp3_layout.h"

#ifndef RUREZA_CONVERTER_INSTALLED
#define RUREZA_CONVERTER_INSTALLED "/usr/libexec/rureza/rureza-convert"
#endif

namespace rureza {

ConverterLimits DefaultConverterLimits() {
  ConverterLimits limits;
#ifndef RUREZA_SANITIZED
  // Measured: the libraries' own data take 35 MiB; a song's conversion peaks at 37 MiB (four
  // times that allowed for decoders with large frames); a 12-megapixel photo at 100 MiB (JPEG,
  // PNG) to 180 MiB (HEIC, decoded whole), which grows with the pixels: 1 GiB takes HEICs of
  // about 70 megapixels.
  limits.songMemoryBytes = uint64_t{128} << 20;
  limits.photoMemoryBytes = uint64_t{1} << 30;
  // A 1080p video peaks below 256 MiB; a 4K HEVC's decoder holds four times the pictures.
  limits.videoMemoryBytes = uint64_t{1} << 30;
#endif
  limits.cpuSeconds = 60;
  limits.cpuSecondsPerSongMinute = 6;
  // A 4K HEVC takes about two minutes of processor time a minute on this kind of machine.
  limits.cpuSecondsPerVideoMinute = 240;
  limits.watchdogMs = 20000;
  return limits;
}

std::string DefaultCacheFolder() {
  const char* service = std::getenv("CACHE_DIRECTORY");
  if (service != nullptr && *service == '/') {
    // systemd lists one folder per CacheDirectory= entry, separated by colons.
    std::string folders = service;
    return folders.substr(0, folders.find(':'));
  }
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && *xdg == '/') return std::string(xdg) + "/rureza";
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home == '/') return std::string(home) + "/.cache/rureza";
  return {};
}

std::string DefaultConverterProgram() {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    // Beside the program (a build), else where an install under any prefix puts it
    // (<prefix>/bin and <prefix>/libexec/rureza), else where the package puts it.
    const std::string program(self, static_cast<size_t>(n));
    const std::string folder = program.substr(0, program.rfind('/') + 1);
    for (const std::string& candidate :
         {folder + "rureza-convert", folder + "../libexec/rureza/rureza-convert"}) {
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
  }
  return RUREZA_CONVERTER_INSTALLED;
}

ConversionSettings FrontEndConversionSettings(uint64_t cacheBytes) {
  ConversionSettings settings;
  settings.cacheBytes = cacheBytes;
  settings.cacheFolder = DefaultCacheFolder();
  settings.converterProgram = DefaultConverterProgram();
  return settings;
}

std::string SongShapeKey() {
  return "mp3 " + std::to_string(kMp3SampleRate) + " " + std::to_string(kMp3BitRate) + " 1";
}

std::string PhotoShapeKey(PhotoBox box) {
  return "jpeg " + std::to_string(box.width) + "x" + std::to_string(box.height) + " 1";
}

std::string VideoShapeKey(const VideoRequest& request, const std::string& subtitles) {
  return "mpeg " + std::to_string(static_cast<uint32_t>(request.standard)) + " " +
         (request.subtitles ? "s[" + subtitles + "] " + request.codePage : "-") + " " +
         request.language + " 1";
}

}  // namespace rureza
