// rureza-probe: the adapter's side of the protocol as a tool for users. Parses the command line
// and runs one command.
#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "probe/commands.h"
#include "probe/probe_options.h"

namespace rureza {
namespace {

int Main(int argc, char** argv) {
  // Names are shown in the terminal's character set.
  std::setlocale(LC_CTYPE, "");
  std::string error;
  std::optional<ProbeOptions> options =
      ParseProbeOptions(std::vector<std::string>(argv + 1, argv + argc), &error);
  if (!options) {
    std::fprintf(stderr, "rureza-probe: %s\nTry 'rureza-probe --help'.\n", error.c_str());
    return kProbeUsage;
  }
  if (options->help) {
    std::fputs(ProbeUsage().c_str(), stdout);
    return kProbeOk;
  }
  if (options->version) {
    std::printf("rureza-probe %s\n", RUREZA_VERSION);
    return kProbeOk;
  }
  if (options->command == "discover") return RunDiscover(*options);
  if (options->command == "list") return RunList(*options);
  if (options->command == "get") return RunGet(*options);
  if (options->command == "check") return RunCheck(*options);
  return RunLoad(*options);
}

}  // namespace
}  // namespace rureza

int main(int argc, char** argv) { return rureza::Main(argc, argv); }
