#include "platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace rureza {
namespace {

// Descriptors handed to a child are first copied above this, so that none of them already
// sits at a number the child gets (a dup2 onto itself would keep it close-on-exec).
constexpr int kFirstCopy = 16;

}  // namespace

pid_t SpawnProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& extraEnv, const std::vector<int>& childFds,
                   Status* error) {
  std::vector<std::string> env = extraEnv;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view line(*entry);
    bool replaced = false;
    for (const std::string& extra : extraEnv) {
      const size_t eq = extra.find('=');
      replaced |= line.substr(0, line.find('=')) == std::string_view(extra).substr(0, eq);
    }
    if (!replaced) env.emplace_back(line);
  }
  std::vector<char*> argv, envp;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  std::vector<int> copies;
  int err = 0;
  for (int fd : childFds) {
    int copy = -1;
    // A descriptor that is not open (a server started with stderr closed) is closed there too.
    if (fd >= 0 && (copy = ::fcntl(fd, F_DUPFD_CLOEXEC, kFirstCopy)) < 0 && errno != EBADF) {
      err = errno;
    }
    copies.push_back(copy);
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  for (size_t i = 0; i < copies.size(); ++i) {
    const int target = static_cast<int>(i);
    if (copies[i] >= 0) {
      posix_spawn_file_actions_adddup2(&actions, copies[i], target);
    } else {
      posix_spawn_file_actions_addclose(&actions, target);
    }
  }
  sigset_t none, defaults;
  sigemptyset(&none);
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  if (err == 0) {
    err = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  for (int copy : copies) {
    if (copy >= 0) ::close(copy);
  }
  if (err != 0) {
    if (error) *error = Status::FromErrno(err);
    return -1;
  }
  return pid;
}

bool LimitProcess(pid_t pid, uint64_t memoryBytes, uint32_t cpuSeconds, int niceness) {
  bool ok = true;
  if (niceness != 0) {
    errno = 0;
    const int ours = ::getpriority(PRIO_PROCESS, 0);
    ok &= errno == 0 && ::setpriority(PRIO_PROCESS, pid, std::min(ours + niceness, 19)) == 0;
  }
  const rlimit noCore{0, 0};
  ok &= ::prlimit(pid, RLIMIT_CORE, &noCore, nullptr) == 0;
  if (memoryBytes > 0) {
    const rlimit memory{memoryBytes, memoryBytes};
    ok &= ::prlimit(pid, RLIMIT_DATA, &memory, nullptr) == 0;
  }
  if (cpuSeconds > 0) {
    // SIGXCPU at the soft limit ends it; the hard limit a second later is SIGKILL.
    const rlimit cpu{cpuSeconds, cpuSeconds + 1};
    ok &= ::prlimit(pid, RLIMIT_CPU, &cpu, nullptr) == 0;
  }
  return ok;
}

}  // namespace rureza
