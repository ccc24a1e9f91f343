// ServerSettings: the operator's settings (port, client limit, log-line limit, three media
// folders, firmware image file) and their fixed 1026-byte image: seven fields packed in this
// order, integers little-endian, each path a 255-byte zero-terminated byte string. The library
// options (how the media folders' names reach the adapter) are not part of the image; the
// settings file keeps them in a tail behind it (settings/library_tail.h).
// The process keeps one current record (CurrentSettings); reads and writes of it are
// thread-safe. Only the front-ends write it, and only while the server is stopped, except the
// log-line limit, which the next log line uses at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rureza {

inline constexpr size_t kPathFieldSize = 255;
inline constexpr size_t kSettingsImageSize = 3 * 2 + 4 * kPathFieldSize;  // 1026

using PathField = std::array<char, kPathFieldSize>;

// The character-set name that sends names as the file system holds them.
inline constexpr char kStoredCharset[] = "stored";

// The largest picture the adapter is sent: photos are scaled down to fit it, never up.
struct PhotoSize {
  uint32_t width = 1920;
  uint32_t height = 1080;
  bool operator==(const PhotoSize&) const = default;
};
// Each side of a photo size: at least 1, at most what the converter decodes (16,384).
inline constexpr uint32_t kLargestPhotoSide = 16384;

// "1920x1080" (the "x" in either case) into *size: false (and *size as it was) for anything
// else, a side of 0 or over kLargestPhotoSide among it.
bool ParsePhotoSize(std::string_view text, PhotoSize* size);
std::string PhotoSizeText(PhotoSize size);

// The TV standard of the stream a video of another format is converted to: PAL 720x576 at 25
// frames/s, NTSC 720x480 at 29.97.
enum class TvStandard { kPal, kNtsc };
// "pal" or "ntsc" (any case) into *standard: false (and *standard as it was) for anything else.
bool ParseTvStandard(std::string_view text, TvStandard* standard);
const char* TvStandardText(TvStandard standard);  // "pal", "ntsc"

// The status page's address unless the operator names one: this machine only.
inline constexpr char kDefaultStatusAddress[] = "127.0.0.1";

// True for an IPv4 address in dotted decimal ("192.168.1.20", "0.0.0.0": every address).
bool IsIpv4Address(std::string_view text);

// How the files of the media folders are listed (all off is what adapters have always seen),
// and the status page, which adapters never see.
struct LibraryOptions {
  bool subfolders = false;  // list every depth, up to 16 folders down, under relative paths
  bool shortNames = false;  // list names that do not fit the record under a short name
  // The adapter's character set: kStoredCharset, or a name iconv knows (upper case).
  std::string charset = kStoredCharset;
  // List songs and photos of other formats as MP3s and JPEGs, converted when played; .jpg
  // files the adapter cannot show well are converted too.
  bool convert = false;
  PhotoSize photoSize{};
  // The status page on TCP P+2: served (on unless turned off), and the address it is bound to.
  bool statusPage = true;
  std::string statusAddress = kDefaultStatusAddress;
  // Videos of other formats, converted: the stream's TV standard, and whether subtitles (a file
  // beside the video, else its own text track) are burnt into the picture.
  TvStandard videoStandard = TvStandard::kPal;
  bool subtitles = true;

  bool operator==(const LibraryOptions&) const = default;
};

// The Setup dialog's Default values, which also replace values that cannot work.
inline constexpr uint16_t kDefaultPort = 4567;
inline constexpr int16_t kDefaultClientLimit = 1;
inline constexpr int16_t kDefaultLogLineLimit = 1000;
// The client limit of a new settings file: a second adapter, or the same one fetching a photo
// while music plays, is served at once.
inline constexpr int16_t kNewInstallClientLimit = 8;
// The highest base port: the discovery port P+3 must fit too.
inline constexpr uint16_t kHighestPort = 65532;

// What new settings files hold: subfolders, short names and conversion on, names in the
// character set of the user's locale (AdapterCharsetForLocale), or as stored when this machine
// cannot write it, videos in the TV standard of the locale's country (TvStandardForLocale).
LibraryOptions NewInstallLibraryOptions();

// The 8-bit code page an adapter's own platform would have chosen for a user of locale (a name
// such as "de_DE.UTF-8", "sr_RS@latin"): CP1252 for Western European languages, CP1250
// Central European, CP1251 Cyrillic, CP1253 Greek, CP1254 Turkish, CP1255 Hebrew, CP1256
// Arabic, CP1257 Baltic, CP1258 Vietnamese, CP874 Thai, CP932 Japanese, CP936 Simplified and
// CP950 Traditional Chinese, CP949 Korean; CP1252 for "C", "POSIX", a locale without a language
// and every other language.
std::string AdapterCharsetForLocale(std::string_view locale);

// The TV standard of the country a locale names ("en_US.UTF-8"): NTSC in the Americas but for
// Argentina, Brazil, Paraguay and Uruguay, in Japan, Korea, Taiwan, the Philippines and Myanmar;
// PAL elsewhere and where the locale names no country.
TvStandard TvStandardForLocale(std::string_view locale);

// The language of a locale: "de" for "de_DE.UTF-8"; empty for "C", "POSIX" or none.
std::string LocaleLanguage(std::string_view locale);

// The user's locale for character handling: LC_ALL, else LC_CTYPE, else LANG.
std::string UserLocaleName();

// kStoredCharset for any case of "stored", else name in upper case (iconv's names match in any
// case).
std::string CharsetOptionName(std::string_view name);

struct ServerSettings {
  uint16_t port = 0;         // request port P; control P+1, discovery P+3
  int16_t clientLimit = 0;   // client threads that may run at once
  int16_t logLineLimit = 0;  // counted log lines after which the log list is emptied
  PathField videoFolder{};   // AVI and MPEG files
  PathField audioFolder{};   // MP3 files
  PathField photoFolder{};   // JPEG files
  PathField firmwareFile{};  // full path of the firmware image
  LibraryOptions library{};  // not in the image
};

using SettingsImage = std::array<uint8_t, kSettingsImageSize>;

SettingsImage EncodeSettings(const ServerSettings& settings);

// Lays length bytes of an image over *settings from offset 0. A shorter image changes only the
// fields (or the leading bytes of the field) it covers; bytes beyond 1026 are ignored.
void DecodeSettings(const uint8_t* data, size_t length, ServerSettings* settings);

// The text of a path field: up to its zero byte, or all 255 bytes when it has none.
std::string PathText(const PathField& field);

// Stores at most 254 bytes of text, then zero bytes to the end of the field.
void SetPathText(PathField* field, std::string_view text);

// Replaces the values that cannot work (a port outside 1-65532, a client limit outside 1-100,
// a log-line limit below 1) by the Default values. Returns one activity-log line for each,
// naming the field and the value found.
std::vector<std::string> ReplaceUnworkableValues(ServerSettings* settings);

// path with a leading "~/" (or just "~") made the home folder ($HOME); as it is otherwise, and
// when HOME is not set or the result would not fit a path field.
std::string WithHomeFolder(const std::string& path);
// The four paths of settings with WithHomeFolder applied.
ServerSettings WithHomeFolders(ServerSettings settings);

// The process's current record; all zero until something sets it.
ServerSettings CurrentSettings();
void SetCurrentSettings(const ServerSettings& settings);
// The current log-line limit, cheap enough for every log line.
int16_t CurrentLogLineLimit();

}  // namespace rureza
