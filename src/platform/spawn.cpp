#include "platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

extern char** environ;

namespace rureza {
namespace {

// Descriptors handed to a child are first copied above this, so that none of them already
// sits at a number the child gets (a dup2 onto itself would keep it close-on-exec).
constexpr int kFirstCopy = 16;

// What a helper takes from this process's environment.
constexpr std::string_view kInherited[] = {
    "LANG=",         "LC_ALL=",        "LC_CTYPE=",
#ifdef RUREZA_SANITIZED
    "ASAN_OPTIONS=", "UBSAN_OPTIONS=", "LSAN_OPTIONS=", "TSAN_OPTIONS=",
#endif
};

}  // namespace

std::vector<std::string> HelperEnvironment(const std::vector<std::string>& own) {
  std::vector<std::string> env = {"PATH=/usr/bin:/bin"};
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    for (std::string_view name : kInherited) {
      if (std::string_view(*entry).starts_with(name)) env.emplace_back(*entry);
    }
  }
  env.insert(env.end(), own.begin(), own.end());
  return env;
}

pid_t SpawnProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& env, const std::vector<int>& childFds,
                   Status* error) {
  // posix_spawn has no attribute for it, and a child made from this thread inherits this
  // thread's flag: set here, it holds from the helper's exec on (the thread keeps it, which
  // costs it nothing: it never executes a program that would gain privileges).
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    if (error) *error = Status::FromErrno(errno);
    return -1;
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
  // Every other descriptor: the server's own are close-on-exec, but a library's may not be.
  posix_spawn_file_actions_addclosefrom_np(&actions, static_cast<int>(copies.size()));
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
