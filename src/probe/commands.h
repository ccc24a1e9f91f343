// The commands of rureza-probe, each run once from main with the parsed command line. Each
// prints its results on standard output and its failures on standard error, and returns the
// exit code: kProbeOk, kProbeFailed or kProbeUsage.
// Thread safety: one command runs at a time (load starts and joins its own threads).
#pragma once

#include "probe/probe_options.h"

namespace rureza {

int RunDiscover(const ProbeOptions& options);
int RunList(const ProbeOptions& options);
int RunGet(const ProbeOptions& options);
int RunCheck(const ProbeOptions& options);
int RunLoad(const ProbeOptions& options);

}  // namespace rureza
