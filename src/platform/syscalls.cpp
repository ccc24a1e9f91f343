#include "platform/syscalls.h"

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

SysCalls RealCalls() {
  return SysCalls{
      .send = ::send,
      .recv = ::recv,
      .read = ::read,
      .write = ::write,
      .accept4 = ::accept4,
      .splice = ::splice,
      .sendfile = ::sendfile,
      .startThread = StartDetachedThread,
  };
}

SysCalls g_calls = RealCalls();

}  // namespace

SysCalls& Sys() { return g_calls; }

void ResetSysCalls() { g_calls = RealCalls(); }

}  // namespace rureza
