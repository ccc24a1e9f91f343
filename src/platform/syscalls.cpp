#include "platform/syscalls.h"

#include "platform/thread.h"

#include <fcntl.h>
#include <unistd.h>

namespace rureza {
namespace {

int OpenFile(int dir, const char* path, int flags, unsigned mode) {
  return ::openat(dir, path, flags, static_cast<mode_t>(mode));
}

SysCalls RealCalls() {
  return SysCalls{
      .send = ::send,
      .recv = ::recv,
      .read = ::read,
      .write = ::write,
      .accept4 = ::accept4,
      .splice = ::splice,
      .sendfile = ::sendfile,
      .startThread = StartPooledThread,
      .open = OpenFile,
      .setsockopt = ::setsockopt,
  };
}

SysCalls g_calls = RealCalls();

}  // namespace

SysCalls& Sys() { return g_calls; }

void ResetSysCalls() { g_calls = RealCalls(); }

}  // namespace rureza
