// Starting a helper program from a multithreaded process: posix_spawn (no copy of the
// process's threads or memory), the child's descriptors given explicitly and every other one
// closed in the child (also one a library opened without close-on-exec), an environment of its
// own, no_new_privs from the exec on, its own process group (a terminal's Ctrl-C goes to the
// server, which ends its helpers), signals as a fresh program has them, and limits on what it
// may use.
// Thread safety: any thread may start processes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace rureza {

// Starts program with args (args[0] first) and exactly the environment env ("NAME=value").
// childFds[i] becomes the child's descriptor i (-1: closed); it has no other. The calling
// thread gets no_new_privs for good (the child inherits it from the thread that starts it):
// nothing started from it can gain privileges by its exec. The child's pid, or -1 with *error.
pid_t SpawnProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& env, const std::vector<int>& childFds,
                   Status* error);

// A helper's minimal environment: this process's locale (LANG, LC_ALL, LC_CTYPE, where set),
// PATH=/usr/bin:/bin and own ("NAME=value"); nothing else (in a sanitizer's build, also its
// options, which its runtime in the helper reads).
std::vector<std::string> HelperEnvironment(const std::vector<std::string>& own);

// Limits a child of ours: the memory it may write to (heap, stacks, private data; 0: no limit),
// its processor time in seconds (0: no limit), no core file, and its scheduling priority (a nice
// value added to ours, inherited by the threads it starts from then on). False when it cannot
// be done.
bool LimitProcess(pid_t pid, uint64_t memoryBytes, uint32_t cpuSeconds, int niceness = 0);

}  // namespace rureza
