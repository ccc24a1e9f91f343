#include "settings/server_settings.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace rureza {
namespace {

constexpr size_t kPortOffset = 0;
constexpr size_t kClientLimitOffset = 2;
constexpr size_t kLogLineLimitOffset = 4;
constexpr size_t kFirstPathOffset = 6;

std::mutex g_settingsMutex;
ServerSettings g_settings;  // guarded by g_settingsMutex
std::atomic<int16_t> g_logLineLimit{0};

void Put16(SettingsImage& image, size_t offset, uint16_t value) {
  image[offset] = static_cast<uint8_t>(value & 0xFF);
  image[offset + 1] = static_cast<uint8_t>(value >> 8);
}

// Lays the bytes of [offset, offset + 2) that the image holds over value.
uint16_t Take16(const uint8_t* data, size_t length, size_t offset, uint16_t value) {
  if (length > offset) value = static_cast<uint16_t>((value & 0xFF00) | data[offset]);
  if (length > offset + 1)
    value = static_cast<uint16_t>((value & 0x00FF) | (data[offset + 1] << 8));
  return value;
}

std::array<PathField*, 4> Paths(ServerSettings* s) {
  return {&s->videoFolder, &s->audioFolder, &s->photoFolder, &s->firmwareFile};
}

}  // namespace

LibraryOptions NewInstallLibraryOptions() {
  LibraryOptions options;
  options.subfolders = true;
  options.shortNames = true;
  return options;
}

std::string CharsetOptionName(std::string_view name) {
  std::string upper(name);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper == "STORED" ? std::string(kStoredCharset) : upper;
}

SettingsImage EncodeSettings(const ServerSettings& settings) {
  SettingsImage image{};
  Put16(image, kPortOffset, settings.port);
  Put16(image, kClientLimitOffset, static_cast<uint16_t>(settings.clientLimit));
  Put16(image, kLogLineLimitOffset, static_cast<uint16_t>(settings.logLineLimit));
  ServerSettings copy = settings;
  size_t offset = kFirstPathOffset;
  for (PathField* field : Paths(&copy)) {
    std::memcpy(image.data() + offset, field->data(), kPathFieldSize);
    offset += kPathFieldSize;
  }
  return image;
}

void DecodeSettings(const uint8_t* data, size_t length, ServerSettings* settings) {
  length = std::min(length, kSettingsImageSize);
  settings->port = Take16(data, length, kPortOffset, settings->port);
  settings->clientLimit = static_cast<int16_t>(
      Take16(data, length, kClientLimitOffset, static_cast<uint16_t>(settings->clientLimit)));
  settings->logLineLimit = static_cast<int16_t>(
      Take16(data, length, kLogLineLimitOffset, static_cast<uint16_t>(settings->logLineLimit)));
  size_t offset = kFirstPathOffset;
  for (PathField* field : Paths(settings)) {
    if (length > offset) {
      std::memcpy(field->data(), data + offset, std::min(kPathFieldSize, length - offset));
    }
    offset += kPathFieldSize;
  }
}

std::string PathText(const PathField& field) {
  const char* end = static_cast<const char*>(std::memchr(field.data(), 0, field.size()));
  return std::string(field.data(), end ? end : field.data() + field.size());
}

void SetPathText(PathField* field, std::string_view text) {
  field->fill(0);
  std::memcpy(field->data(), text.data(), std::min(text.size(), kPathFieldSize - 1));
}

ServerSettings CurrentSettings() {
  std::lock_guard<std::mutex> lock(g_settingsMutex);
  return g_settings;
}

void SetCurrentSettings(const ServerSettings& settings) {
  std::lock_guard<std::mutex> lock(g_settingsMutex);
  g_settings = settings;
  g_logLineLimit.store(settings.logLineLimit);
}

int16_t CurrentLogLineLimit() { return g_logLineLimit.load(); }

}  // namespace rureza
