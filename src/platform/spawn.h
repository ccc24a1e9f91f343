// Starting a helper program from a multithreaded process: posix_spawn (no copy of the
// process's threads or memory), the child's descriptors given explicitly, every other one left
// behind (the server opens all of its descriptors close-on-exec), its own process group (a
// terminal's Ctrl-C goes to the server, which ends its helpers), signals as a fresh program has
// them, and limits on what it may use.
// Thread safety: any thread may start processes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace rureza {

// Starts program with args (args[0] first) and this process's environment with extraEnv
// ("NAME=value") added or replacing. childFds[i] becomes the child's descriptor i (-1: closed).
// The child's pid, or -1 with *error.
pid_t SpawnProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& extraEnv, const std::vector<int>& childFds,
                   Status* error);

// Limits a child of ours: the memory it may write to (heap, stacks, private data; 0: no limit),
// its processor time in seconds (0: no limit), no core file, and its scheduling priority (a nice
// value added to ours, inherited by the threads it starts from then on). False when it cannot
// be done.
bool LimitProcess(pid_t pid, uint64_t memoryBytes, uint32_t cpuSeconds, int niceness = 0);

}  // namespace rureza
