// The settings loader for a file of any length and content: the image decodes field by field
// over the record it was given (only the bytes the file covers change), a load of the file
// gives the same record, and a save writes the 1026-byte image followed by whatever the file
// held beyond it, which loads back unchanged.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_check.h"
#include "settings/settings_file.h"

namespace {

using rureza::ServerSettings;
using rureza::SettingsImage;

ServerSettings Sample() {
  ServerSettings s;
  s.port = 4567;
  s.clientLimit = 10;
  s.logLineLimit = 1000;
  rureza::SetPathText(&s.videoFolder, "/srv/video");
  rureza::SetPathText(&s.audioFolder, "/srv/audio");
  rureza::SetPathText(&s.photoFolder, "/srv/photo");
  rureza::SetPathText(&s.firmwareFile, "/srv/fw.bin");
  return s;
}

// The image of Sample() with the input's first bytes laid over it.
SettingsImage Expected(const uint8_t* data, size_t size) {
  SettingsImage image = rureza::EncodeSettings(Sample());
  std::memcpy(image.data(), data, std::min(size, image.size()));
  return image;
}

const std::string& FilePath() {
  static const std::string path = [] {
    std::filesystem::path base = std::filesystem::exists("/dev/shm")
                                     ? std::filesystem::path("/dev/shm")
                                     : std::filesystem::temp_directory_path();
    std::string pattern = (base / "rureza-fuzz-XXXXXX").string();
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    return pattern + "/sv.dat";
  }();
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ServerSettings decoded = Sample();
  rureza::DecodeSettings(data, size, &decoded);
  const SettingsImage expected = Expected(data, size);
  FUZZ_CHECK(rureza::EncodeSettings(decoded) == expected);
  // Each path reads as at most 255 bytes up to its first zero byte.
  for (const rureza::PathField* field :
       {&decoded.videoFolder, &decoded.audioFolder, &decoded.photoFolder, &decoded.firmwareFile}) {
    std::string text = rureza::PathText(*field);
    FUZZ_CHECK(text.size() <= rureza::kPathFieldSize);
    FUZZ_CHECK(text.find('\0') == std::string::npos);
    FUZZ_CHECK(std::memcmp(text.data(), field->data(), text.size()) == 0);
  }

  const std::string& path = FilePath();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  ServerSettings loaded = Sample();
  FUZZ_CHECK(rureza::LoadSettingsFile(path, &loaded).ok());
  FUZZ_CHECK(rureza::EncodeSettings(loaded) == expected);

  // Save a different record over it: the image, then the old file's bytes beyond 1026.
  ServerSettings saved = Sample();
  saved.port = static_cast<uint16_t>(loaded.port + 1);
  saved.library = loaded.library;  // the same options keep the file's tail as it is
  rureza::SetPathText(&saved.audioFolder, rureza::PathText(loaded.videoFolder));
  FUZZ_CHECK(rureza::SaveSettingsFile(path, saved).ok());
  const SettingsImage image = rureza::EncodeSettings(saved);
  std::string want(image.begin(), image.end());
  if (size > image.size())
    want.append(reinterpret_cast<const char*>(data) + image.size(), size - image.size());
  FUZZ_CHECK(ReadFile(path) == want);
  ServerSettings again;
  FUZZ_CHECK(rureza::LoadSettingsFile(path, &again).ok());
  FUZZ_CHECK(rureza::EncodeSettings(again) == image);
  return 0;
}
