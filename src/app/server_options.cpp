#include "app/server_options.h"

#include <cerrno>
#include <cstdlib>

#include "platform/charset.h"

namespace rureza {
namespace {

struct NumberOption {
  const char* name;
  int low;
  int high;
  std::optional<int> ServerOptions::*field;
};

struct TextOption {
  const char* name;
  std::optional<std::string> ServerOptions::*field;
};

const NumberOption kNumberOptions[] = {
    {"--port", 1, kHighestPort, &ServerOptions::port},  // P+3 must fit too
    {"--clients", 1, 100, &ServerOptions::clients},
    {"--log-lines", 30, 10000, &ServerOptions::logLines},
    {"--status-port", 1, 65535, &ServerOptions::statusPort},
};

struct SwitchOption {
  const char* on;
  const char* off;
  std::optional<bool> ServerOptions::*field;
};

const SwitchOption kSwitchOptions[] = {
    {"--subfolders", "--no-subfolders", &ServerOptions::subfolders},
    {"--short-names", "--no-short-names", &ServerOptions::shortNames},
    {"--convert", "--no-convert", &ServerOptions::convert},
    {"--subtitles", "--no-subtitles", &ServerOptions::subtitles},
    {"--status", "--no-status", &ServerOptions::status},
};

const TextOption kTextOptions[] = {
    {"--video", &ServerOptions::video},
    {"--audio", &ServerOptions::audio},
    {"--photo", &ServerOptions::photo},
    {"--firmware", &ServerOptions::firmware},
};

bool ParseNumber(const std::string& text, int low, int high, int* value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  long number = std::strtol(text.c_str(), nullptr, 10);
  if (number < low || number > high) return false;
  *value = static_cast<int>(number);
  return true;
}

}  // namespace

bool ParseCacheSize(const std::string& text, uint64_t* bytes) {
  size_t digits = 0;
  uint64_t value = 0;
  while (digits < text.size() && digits < 15 && text[digits] >= '0' && text[digits] <= '9') {
    value = value * 10 + static_cast<uint64_t>(text[digits++] - '0');
  }
  const std::string unit = text.substr(digits);
  int shift = -1;
  if (unit.empty()) shift = 0;
  if (unit.size() == 1) {
    const size_t at = std::string("kmgt").find(static_cast<char>(unit[0] | 0x20));
    if (at != std::string::npos) shift = 10 * static_cast<int>(at + 1);
  }
  if (digits == 0 || shift < 0 || value > (kMostCacheBytes >> shift)) return false;
  *bytes = value << shift;
  return true;
}

std::optional<ServerOptions> ParseServerOptions(const std::vector<std::string>& args,
                                                std::string* error) {
  ServerOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (size_t equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    if (name == "--help" || name == "-h" || name == "--version") {
      if (value) {
        *error = name + " takes no value";
        return std::nullopt;
      }
      (name == "--version" ? options.version : options.help) = true;
      continue;
    }
    auto takeValue = [&]() -> bool {
      if (value) return true;
      if (i + 1 >= args.size()) {
        *error = name + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    bool known = false;
    for (const SwitchOption& option : kSwitchOptions) {
      if (name != option.on && name != option.off) continue;
      if (value) {
        *error = name + " takes no value";
        return std::nullopt;
      }
      options.*option.field = name == option.on;
      known = true;
    }
    if (name == "--name-charset") {
      if (!takeValue()) return std::nullopt;
      const std::string charset = CharsetOptionName(*value);
      const CharsetFit fit =
          charset == kStoredCharset ? CharsetFit::kUsable : CheckCharset(charset);
      if (fit != CharsetFit::kUsable) {
        *error =
            "--name-charset: character set '" + *value +
            (fit == CharsetFit::kUnknown ? "' is not known here (iconv -l lists the known ones)"
                                         : "' does not write ASCII as ASCII, which adapters need");
        return std::nullopt;
      }
      options.nameCharset = charset;
      known = true;
    }
    if (name == "--photo-size") {
      if (!takeValue()) return std::nullopt;
      PhotoSize size;
      if (!ParsePhotoSize(*value, &size)) {
        *error = "--photo-size must be WIDTHxHEIGHT, each 1-16384, not '" + *value + "'";
        return std::nullopt;
      }
      options.photoSize = size;
      known = true;
    }
    if (name == "--video-standard") {
      if (!takeValue()) return std::nullopt;
      TvStandard standard;
      if (!ParseTvStandard(*value, &standard)) {
        *error = "--video-standard must be pal or ntsc, not '" + *value + "'";
        return std::nullopt;
      }
      options.videoStandard = standard;
      known = true;
    }
    if (name == "--cache-size") {
      if (!takeValue()) return std::nullopt;
      if (!ParseCacheSize(*value, &options.cacheBytes)) {
        *error =
            "--cache-size must be bytes, or a number with K, M, G or T (KiB to TiB), at "
            "most 64T, not '" +
            *value + "'";
        return std::nullopt;
      }
      known = true;
    }
    if (name == "--status-address") {
      if (!takeValue()) return std::nullopt;
      if (!IsIpv4Address(*value)) {
        *error = "--status-address must be an IPv4 address (0.0.0.0: every address), not '" +
                 *value + "'";
        return std::nullopt;
      }
      options.statusAddress = *value;
      known = true;
    }
    if (name == "--settings") {
      if (!takeValue()) return std::nullopt;
      if (value->empty()) {
        *error = "--settings needs a file name";
        return std::nullopt;
      }
      options.settingsPath = *value;
      known = true;
    }
    for (const NumberOption& option : kNumberOptions) {
      if (name != option.name) continue;
      if (!takeValue()) return std::nullopt;
      int number = 0;
      if (!ParseNumber(*value, option.low, option.high, &number)) {
        *error = name + " must be a number from " + std::to_string(option.low) + " to " +
                 std::to_string(option.high) + ", not '" + *value + "'";
        return std::nullopt;
      }
      options.*option.field = number;
      known = true;
    }
    for (const TextOption& option : kTextOptions) {
      if (name != option.name) continue;
      if (!takeValue()) return std::nullopt;
      if (value->size() >= kPathFieldSize) {
        *error = name + " is longer than " + std::to_string(kPathFieldSize - 1) + " bytes";
        return std::nullopt;
      }
      options.*option.field = *value;
      known = true;
    }
    if (!known) {
      *error = "unknown option '" + args[i] + "'";
      return std::nullopt;
    }
  }
  return options;
}

void ApplyOverrides(const ServerOptions& options, ServerSettings* settings) {
  if (options.port) settings->port = static_cast<uint16_t>(*options.port);
  if (options.clients) settings->clientLimit = static_cast<int16_t>(*options.clients);
  if (options.logLines) settings->logLineLimit = static_cast<int16_t>(*options.logLines);
  if (options.video) SetPathText(&settings->videoFolder, *options.video);
  if (options.audio) SetPathText(&settings->audioFolder, *options.audio);
  if (options.photo) SetPathText(&settings->photoFolder, *options.photo);
  if (options.firmware) SetPathText(&settings->firmwareFile, *options.firmware);
  if (options.subfolders) settings->library.subfolders = *options.subfolders;
  if (options.shortNames) settings->library.shortNames = *options.shortNames;
  if (options.nameCharset) settings->library.charset = *options.nameCharset;
  if (options.convert) settings->library.convert = *options.convert;
  if (options.photoSize) settings->library.photoSize = *options.photoSize;
  if (options.videoStandard) settings->library.videoStandard = *options.videoStandard;
  if (options.subtitles) settings->library.subtitles = *options.subtitles;
  if (options.status) settings->library.statusPage = *options.status;
  if (options.statusAddress) settings->library.statusAddress = *options.statusAddress;
}

uint16_t StatusPort(const ServerOptions& options, const ServerSettings& settings) {
  return static_cast<uint16_t>(options.statusPort ? *options.statusPort : settings.port + 2);
}

std::string ServerUsage() {
  return "Usage: rureza-server [OPTION]...\n"
         "Serves video, music, photos and firmware to network media adapters.\n"
         "Ports: TCP P (requests), TCP P+1 (playback control), UDP P+3 (discovery);\n"
         "TCP P+2: the status page, /status.json and /metrics (HTTP).\n"
         "\n"
         "  --settings FILE   settings file (default sv.dat in the current directory;\n"
         "                    created with defaults when missing)\n"
         "  --port N          base port P, 1-65532\n"
         "  --clients N       client limit, 1-100\n"
         "  --log-lines N     log lines after which the log is emptied, 30-10000\n"
         "  --video DIR       folder of AVI and MPEG files\n"
         "  --audio DIR       folder of MP3 files\n"
         "  --photo DIR       folder of JPEG files\n"
         "  --firmware FILE   firmware image file\n"
         "  --subfolders      list the media folders' subfolders too (--no-subfolders: not)\n"
         "  --short-names     list names too long for the adapter under short names\n"
         "                    (--no-short-names: leave them out)\n"
         "  --name-charset CHARSET\n"
         "                    the adapter's character set for names (CP1252, ISO-8859-15,\n"
         "                    SHIFT_JIS, ...); 'stored' sends them as the folders hold them\n"
         "  --convert         list songs, photos and videos of other formats (FLAC, HEIC,\n"
         "                    MP4, MKV, ...) as MP3s, JPEGs and MPEGs, converted when played\n"
         "                    (--no-convert: not)\n"
         "  --photo-size WxH  the largest photo sent, e.g. 1920x1080; larger ones are scaled\n"
         "  --video-standard pal|ntsc\n"
         "                    the TV standard videos are converted to (PAL 720x576 at 25\n"
         "                    frames/s, NTSC 720x480 at 29.97)\n"
         "  --no-subtitles    burn no subtitles into converted videos (--subtitles: burn them)\n"
         "  --cache-size SIZE the most the cache of converted files holds (default 2G; K, M,\n"
         "                    G, T; 0 keeps nothing on disk)\n"
         "  --no-status       serve no status page (--status: serve it)\n"
         "  --status-address ADDR\n"
         "                    the status page's IPv4 address (default 127.0.0.1, this\n"
         "                    machine only; 0.0.0.0: every address)\n"
         "  --status-port N   the status page's TCP port (default P+2)\n"
         "  --help            show this text and exit\n"
         "  --version         show the version and exit\n"
         "\n"
         "Options override the settings file in memory only; they are never saved.\n"
         "Signals: SIGINT/SIGTERM stop and exit 0; SIGHUP stops, reloads the settings and\n"
         "starts again. Exit codes: 0 stopped, 1 the settings file cannot be loaded or the\n"
         "ports cannot be opened (a message on stderr says why), 2 bad usage.\n"
         "See rureza-server(1).\n";
}

}  // namespace rureza
