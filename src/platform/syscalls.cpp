#include "platform/syscalls.h"

#include <fcntl.h>
#include <unistd.h>

#include <system_error>
#include <thread>

namespace rureza {
namespace {

bool StartDetachedThread(std::function<void()> body) {
  try {
    std::thread(std::move(body)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

int OpenFile(const char* path, int flags, unsigned mode) {
  return ::open(path, flags, static_cast<mode_t>(mode));
}

SysCalls RealCalls() {
  return SysCalls{
      .send = ::send,
      .recv = ::recv,
      .read = ::read,
      .write = ::write,
      .accept4 = ::accept4,
      .startThread = StartDetachedThread,
      .open = OpenFile,
  };
}

SysCalls g_calls = RealCalls();

}  // namespace

SysCalls& Sys() { return g_calls; }

void ResetSysCalls() { g_calls = RealCalls(); }

}  // namespace rureza
