#include "settings/server_settings.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "platform/charset.h"

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
  options.convert = true;
  const std::string charset = AdapterCharsetForLocale(UserLocaleName());
  if (CheckCharset(charset) == CharsetFit::kUsable) options.charset = charset;
  options.videoStandard = TvStandardForLocale(UserLocaleName());
  return options;
}

bool ParseTvStandard(std::string_view text, TvStandard* standard) {
  const std::string name = CharsetOptionName(text);  // upper case
  if (name != "PAL" && name != "NTSC") return false;
  *standard = name == "PAL" ? TvStandard::kPal : TvStandard::kNtsc;
  return true;
}

const char* TvStandardText(TvStandard standard) {
  return standard == TvStandard::kNtsc ? "ntsc" : "pal";
}

TvStandard TvStandardForLocale(std::string_view locale) {
  const size_t underscore = locale.find('_');
  if (underscore == std::string_view::npos) return TvStandard::kPal;
  const std::string_view territory =
      locale.substr(underscore + 1, locale.find_first_of(".@", underscore) - underscore - 1);
  static constexpr std::string_view kNtsc[] = {
      "US", "CA", "MX", "GT", "HN", "SV", "NI", "CR", "PA", "CU", "DO", "PR", "HT", "JM",
      "BS", "BZ", "TT", "CO", "VE", "EC", "PE", "BO", "CL", "JP", "KR", "TW", "PH", "MM"};
  return std::find(std::begin(kNtsc), std::end(kNtsc), territory) != std::end(kNtsc)
             ? TvStandard::kNtsc
             : TvStandard::kPal;
}

bool ParsePhotoSize(std::string_view text, PhotoSize* size) {
  uint32_t sides[2] = {0, 0};
  int side = 0;
  size_t digits = 0;
  for (char c : text) {
    if ((c == 'x' || c == 'X') && side == 0 && digits > 0) {
      side = 1;
      digits = 0;
    } else if (c >= '0' && c <= '9' && digits < 6) {
      sides[side] = sides[side] * 10 + static_cast<uint32_t>(c - '0');
      ++digits;
    } else {
      return false;
    }
  }
  if (side != 1 || digits == 0) return false;
  for (uint32_t value : sides) {
    if (value == 0 || value > kLargestPhotoSide) return false;
  }
  *size = {sides[0], sides[1]};
  return true;
}

bool IsIpv4Address(std::string_view text) {
  in_addr address{};
  return text.size() <= 15 && ::inet_pton(AF_INET, std::string(text).c_str(), &address) == 1;
}

std::string PhotoSizeText(PhotoSize size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height);
}

std::string AdapterCharsetForLocale(std::string_view locale) {
  // language[_TERRITORY][.codeset][@modifier]
  const std::string_view language = locale.substr(0, locale.find_first_of("_.@"));
  const size_t underscore = locale.find('_');
  const std::string_view territory =
      underscore == std::string_view::npos
          ? std::string_view()
          : locale.substr(underscore + 1, locale.find_first_of(".@", underscore) - underscore - 1);
  const size_t at = locale.find('@');
  const std::string_view modifier =
      at == std::string_view::npos ? std::string_view() : locale.substr(at + 1);
  auto in = [&](std::initializer_list<std::string_view> languages) {
    return std::find(languages.begin(), languages.end(), language) != languages.end();
  };
  if (language == "zh") {
    return territory == "TW" || territory == "HK" || territory == "MO" ? "CP950" : "CP936";
  }
  if (language == "sr") return modifier == "latin" || territory == "ME" ? "CP1250" : "CP1251";
  if (language == "uz") return modifier == "cyrillic" ? "CP1251" : "CP1254";
  if (in({"cs", "hu", "pl", "ro", "sk", "sl", "hr", "bs", "sq", "tk"})) return "CP1250";
  if (in({"ru", "uk", "be", "bg", "mk", "kk", "ky", "tt", "mn", "tg", "ba", "cv"})) return "CP1251";
  if (language == "el") return "CP1253";
  if (in({"tr", "az"})) return "CP1254";
  if (in({"he", "iw", "yi"})) return "CP1255";
  if (in({"ar", "fa", "ur", "ps", "sd"})) return "CP1256";
  if (in({"et", "lt", "lv"})) return "CP1257";
  if (language == "vi") return "CP1258";
  if (language == "th") return "CP874";
  if (language == "ja") return "CP932";
  if (language == "ko") return "CP949";
  return "CP1252";
}

std::string LocaleLanguage(std::string_view locale) {
  const std::string_view language = locale.substr(0, locale.find_first_of("_.@"));
  return language == "C" || language == "POSIX" ? std::string() : std::string(language);
}

std::string UserLocaleName() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return value;
  }
  return {};
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

std::vector<std::string> ReplaceUnworkableValues(ServerSettings* settings) {
  std::vector<std::string> lines;
  auto replace = [&](auto* field, auto fallback, const char* name, const char* workable) {
    lines.push_back("Settings: " + std::string(name) + " " + std::to_string(*field) +
                    " cannot work (" + workable + " can); " + std::to_string(fallback) +
                    " is used instead");
    *field = fallback;
  };
  if (settings->port < 1 || settings->port > kHighestPort) {
    replace(&settings->port, kDefaultPort, "port", "1-65532");
  }
  if (settings->clientLimit < 1 || settings->clientLimit > 100) {
    replace(&settings->clientLimit, kDefaultClientLimit, "client limit", "1-100");
  }
  if (settings->logLineLimit < 1) {
    replace(&settings->logLineLimit, kDefaultLogLineLimit, "log-line limit", "1 or more");
  }
  return lines;
}

std::string WithHomeFolder(const std::string& path) {
  const char* home = std::getenv("HOME");
  if (!home || !*home || !(path == "~" || path.starts_with("~/"))) return path;
  std::string expanded = home + path.substr(1);
  return expanded.size() < kPathFieldSize ? expanded : path;
}

ServerSettings WithHomeFolders(ServerSettings settings) {
  for (PathField* field : Paths(&settings)) SetPathText(field, WithHomeFolder(PathText(*field)));
  return settings;
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
