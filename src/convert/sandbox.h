// The converter's confinement, entered once before it serves its first request: no new
// privileges, and a seccomp filter that allows what decoding and encoding need (memory,
// threads, reading files, writing to the descriptors the server handed over) and nothing that
// connects, executes, forks or opens a file for writing. README, "Security notes", lists the
// calls.
// Thread safety: called once, before the process has threads of its own.
#pragma once

#include <string>

namespace rureza {

// Sets no_new_privs and installs the filter for the process. Empty when the filter is in
// force; else it runs without it, and this says why, for the server to log once (the kernel
// has no seccomp or refused the filter). A build instrumented by a sanitizer runs without the
// filter and says nothing: its runtime needs far more than the filter allows.
std::string EnterSandbox();

}  // namespace rureza
