// The headless front-end's command line:
//   rureza-server [--settings FILE] [--port N] [--clients N] [--log-lines N]
//                 [--video DIR] [--audio DIR] [--photo DIR] [--firmware FILE]
//                 [--subfolders|--no-subfolders] [--short-names|--no-short-names]
//                 [--name-charset CHARSET] [--convert|--no-convert] [--photo-size WxH]
//                 [--video-standard pal|ntsc] [--subtitles|--no-subtitles] [--cache-size SIZE]
//                 [--status|--no-status] [--status-address ADDR]
//                 [--status-port N] [--help] [--version]
// Overrides apply to the loaded record in memory only; they are never saved.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "conversion/conversion_settings.h"
#include "settings/server_settings.h"

namespace rureza {

struct ServerOptions {
  std::string settingsPath = ".//sv.dat";
  std::optional<int> port;
  std::optional<int> clients;
  std::optional<int> logLines;
  std::optional<std::string> video;
  std::optional<std::string> audio;
  std::optional<std::string> photo;
  std::optional<std::string> firmware;
  std::optional<bool> subfolders;
  std::optional<bool> shortNames;
  std::optional<std::string> nameCharset;  // as CharsetOptionName gives it
  std::optional<bool> convert;
  std::optional<PhotoSize> photoSize;
  std::optional<TvStandard> videoStandard;
  std::optional<bool> subtitles;
  uint64_t cacheBytes = kDefaultCacheBytes;  // not a setting: the process's cache bound
  std::optional<bool> status;
  std::optional<std::string> statusAddress;
  std::optional<int> statusPort;  // not a setting: P+2 unless given
  bool help = false;
  bool version = false;
};

// The largest --cache-size.
inline constexpr uint64_t kMostCacheBytes = uint64_t{64} << 40;

// "2G", "500M", "0": bytes, or KiB, MiB, GiB, TiB with K, M, G, T (either case); false for
// anything else or more than kMostCacheBytes.
bool ParseCacheSize(const std::string& text, uint64_t* bytes);

// Parses args (without the program name). On a malformed option, a value out of range or a
// character set that cannot be used returns nullopt and sets *error to a one-line reason.
std::optional<ServerOptions> ParseServerOptions(const std::vector<std::string>& args,
                                                std::string* error);

// Lays the overrides over settings.
void ApplyOverrides(const ServerOptions& options, ServerSettings* settings);

// The status page's port: --status-port, else P+2.
uint16_t StatusPort(const ServerOptions& options, const ServerSettings& settings);

// The usage text (for --help and, on stderr, after a bad option).
std::string ServerUsage();

inline constexpr char kServerVersion[] = "1.0.0";

}  // namespace rureza
