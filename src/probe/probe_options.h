// rureza-probe's command line: a command, its operands and options, which may come anywhere on
// the line ("--" ends them). Each option belongs to the commands it makes sense for; anything
// else is bad usage, reported in one line.
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rureza {

inline constexpr int kProbeOk = 0;
inline constexpr int kProbeFailed = 1;  // the server did not answer or answered wrongly
inline constexpr int kProbeUsage = 2;

struct ProbeOptions {
  std::string command;                // discover, list, get, check or load
  std::vector<std::string> operands;  // what follows the command: HOST..., HOST KIND [NAME]
  uint16_t port = 4567;               // the base port P
  std::optional<int> timeoutMs;       // each command has its own default
  bool bytes = false;                 // list: exact sizes
  bool raw = false;                   // list: the reply's bytes unchanged
  std::string charset;                // the adapter character set names are sent in
  std::string output;                 // get: the file; empty: standard output
  int adapters = 0;                   // load
  double seconds = 0;                 // load
  std::string loadKind = "all";       // load: audio, photo or all
  bool digests = false;               // load
  bool help = false;
  bool version = false;

  int TimeoutMs(int fallbackMs) const { return timeoutMs.value_or(fallbackMs); }
};

// Parses args (without the program name). nullopt and a one-line *error on bad usage.
std::optional<ProbeOptions> ParseProbeOptions(const std::vector<std::string>& args,
                                              std::string* error);

// The text of --help.
std::string ProbeUsage();

}  // namespace rureza
