// The headless front-end's command line:
//   rureza-server [--settings FILE] [--port N] [--clients N] [--log-lines N]
//                 [--video DIR] [--audio DIR] [--photo DIR] [--firmware FILE]
//                 [--subfolders|--no-subfolders] [--short-names|--no-short-names]
//                 [--name-charset CHARSET] [--help] [--version]
// Overrides apply to the loaded record in memory only; they are never saved.
#pragma once

#include <optional>
#include <string>
#include <vector>

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
  bool help = false;
  bool version = false;
};

// Parses args (without the program name). On a malformed option, a value out of range or a
// character set that cannot be used returns nullopt and sets *error to a one-line reason.
std::optional<ServerOptions> ParseServerOptions(const std::vector<std::string>& args,
                                                std::string* error);

// Lays the overrides over settings.
void ApplyOverrides(const ServerOptions& options, ServerSettings* settings);

// The usage text (for --help and, on stderr, after a bad option).
std::string ServerUsage();

inline constexpr char kServerVersion[] = "1.0.0";

}  // namespace rureza
