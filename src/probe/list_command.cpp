// list: the listing as the adapter receives it, a table row per record as each arrives.
#include <unistd.h>

#include <cstdio>

#include "probe/commands.h"
#include "probe/probe_session.h"
#include "probe/probe_text.h"

namespace rureza {

int RunList(const ProbeOptions& options) {
  // The reply's bytes are the server's, escape sequences and all.
  if (options.raw && ::isatty(STDOUT_FILENO) == 1) {
    Complain("will not write the raw reply to a terminal: give a pipe or a file (see --help)");
    return kProbeUsage;
  }
  NameDecoder names;
  ProbeTarget target;
  if (int code = OpenNamesAndTarget(options, &names, &target); code != kProbeOk) return code;

  ListingSummary summary;
  std::string error = StreamListing(
      target, options.TimeoutMs(kAdapterTimeoutMs),
      [&](const ListingEntry& e) {
        if (!options.raw && summary.entries == 0) {
          std::printf("%8s  %-5s  %10s  %-10s  %s\n", "NUMBER", "KIND", "SIZE", "MODE", "NAME");
        }
        summary.Add(e);
        if (options.raw) return;
        std::string size = options.bytes ? std::to_string(e.size) : ReadableSize(e.size);
        std::printf("%8u  %-5s  %10s  %-10s  %s\n", e.number, KindWord(e.name), size.c_str(),
                    ModeText(e.mode).c_str(), names.Printable(e.name).c_str());
      },
      [&](const char* data, size_t size) {
        if (options.raw) std::fwrite(data, 1, size, stdout);
      });
  if (!error.empty()) {
    Complain(target.Where() + ": the listing: " + error);
    return kProbeFailed;
  }
  if (!options.raw) std::printf("%s\n", summary.Text(options.bytes).c_str());
  if (std::fflush(stdout) != 0) {
    Complain("cannot write standard output");
    return kProbeFailed;
  }
  return kProbeOk;
}

}  // namespace rureza
