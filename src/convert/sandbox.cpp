#include "convert/sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace rureza {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kInstrumented = true;
#else
constexpr bool kInstrumented = false;
#endif

// The descriptors the server hands over: requests, replies, its log, the converted bytes.
constexpr int kLastOwnFd = 3;

// Allowed with any arguments: memory, threads and their waits, signals (as the C library and
// the codecs' threads use them), reading (files, folders of fonts and plugins, file status),
// closing and duplicating what it has (libvips reads through a copy of the source's
// descriptor), waiting, time, randomness, and who and where the process is. Executable
// mappings stay allowed: libvips loads its format modules and ImageMagick its coders when first
// used, and liborc compiles libvips's pixel loops.
// clang-format off
constexpr const char* kAllowed[] = {
    "brk", "mmap", "munmap", "mremap", "mprotect", "madvise",
    "futex", "set_robust_list", "rseq", "set_tid_address", "gettid", "getpid", "getppid",
    "sched_yield", "sched_getaffinity", "exit", "exit_group", "restart_syscall",
    "rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "sigaltstack",
    "read", "readv", "pread64", "preadv", "preadv2", "lseek", "fstat", "newfstatat", "statx",
    "stat", "lstat", "fstatfs", "statfs", "getdents64", "readlink", "readlinkat", "access",
    "faccessat", "faccessat2", "getcwd", "close", "dup", "fcntl", "poll", "ppoll",
    "clock_gettime", "clock_getres", "gettimeofday", "time", "nanosleep", "clock_nanosleep",
    "getrandom", "uname", "sysinfo", "getrusage", "times", "getrlimit",
    "getuid", "geteuid", "getgid", "getegid",
};
// clang-format on

// Opening with any of these bits set creates, truncates or writes.
constexpr uint64_t kWritingOpen = O_ACCMODE | O_CREAT | O_TRUNC;

// Allowed with one argument as stated.
struct Rule {
  const char* call;
  scmp_arg_cmp argument;
};

struct Releaser {
  void operator()(void* filter) const { seccomp_release(filter); }
};

// Adds a rule when this architecture has the call (some, like "open" and "stat", only some do).
int Add(scmp_filter_ctx filter, const char* name, uint32_t action, const scmp_arg_cmp* argument) {
  const int call = seccomp_syscall_resolve_name(name);
  if (call == __NR_SCMP_ERROR) return 0;
  return seccomp_rule_add_array(filter, action, call, argument ? 1 : 0, argument);
}

std::string Build(scmp_filter_ctx filter) {
  const Rule rules[] = {
      // Threads, never processes: a clone must share everything a thread does.
      {"clone", SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)},
      // Opening for reading only (libraries read fonts, colour profiles, plugin lists).
      {"openat", SCMP_A2(SCMP_CMP_MASKED_EQ, kWritingOpen, 0)},
      {"open", SCMP_A1(SCMP_CMP_MASKED_EQ, kWritingOpen, 0)},
      // Writing only to what the server handed over.
      {"write", SCMP_A0(SCMP_CMP_LE, kLastOwnFd)},
      {"writev", SCMP_A0(SCMP_CMP_LE, kLastOwnFd)},
      // Requests come on descriptor 0, a socket connected to the server (replies may go back
      // on it).
      {"recvmsg", SCMP_A0(SCMP_CMP_EQ, 0)},
      {"sendmsg", SCMP_A0(SCMP_CMP_EQ, 0)},
      {"sendto", SCMP_A0(SCMP_CMP_EQ, 0)},
      // Naming its threads (glib does).
      {"prctl", SCMP_A0(SCMP_CMP_EQ, PR_SET_NAME)},
      {"prctl", SCMP_A0(SCMP_CMP_EQ, PR_GET_NAME)},
      // Signals to itself only (abort raises SIGABRT).
      {"tgkill", SCMP_A0(SCMP_CMP_EQ, static_cast<uint64_t>(::getpid()))},
      // Reading its limits, not setting them.
      {"prlimit64", SCMP_A2(SCMP_CMP_EQ, 0)},
  };
  int err = 0;
  for (const char* name : kAllowed) err = err ? err : Add(filter, name, SCMP_ACT_ALLOW, nullptr);
  for (const Rule& rule : rules) {
    err = err ? err : Add(filter, rule.call, SCMP_ACT_ALLOW, &rule.argument);
  }
  // glibc starts threads with clone3 where the kernel has it, whose flags a filter cannot see;
  // "not implemented" makes it fall back to clone.
  if (!err) err = Add(filter, "clone3", SCMP_ACT_ERRNO(ENOSYS), nullptr);
  if (err) return std::string("the filter cannot be made: ") + std::strerror(-err);
  if (!(err = seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1))) err = seccomp_load(filter);
  if (err) return std::string("the kernel refused it: ") + std::strerror(-err);
  return {};
}

}  // namespace

std::string EnterSandbox() {
  const std::string prefix = "rureza-convert runs without its system-call filter: ";
  // Nothing it executes (nothing, under the filter) could gain privileges; the server already
  // sets this on the thread that starts the converter, so that it holds from the exec on.
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    return prefix + "no_new_privs cannot be set: " + std::strerror(errno);
  }
  // A sanitizer's runtime needs far more (it reads /proc, starts a tracer, writes reports); such
  // a build is a test's, never a user's, and its logs stay as the tests expect them.
  if (kInstrumented) return {};
  if (::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) < 0) {
    return prefix + "this kernel has no seccomp (" + std::strerror(errno) + ")";
  }
  // Whatever is not allowed fails with "operation not permitted": the libraries' optional
  // calls (a cache they would write, a socket to a name service) fail as they expect calls to
  // fail, and the conversion goes on or names its cause; a decoder taken over gains nothing.
  std::unique_ptr<void, Releaser> filter(seccomp_init(SCMP_ACT_ERRNO(EPERM)));
  if (!filter) return prefix + "the filter cannot be made";
  const std::string error = Build(filter.get());
  return error.empty() ? error : prefix + error;
}

}  // namespace rureza
