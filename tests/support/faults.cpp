#include "support/faults.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/syscalls.h"
#include "support/reliability.h"

namespace rureza::test {
namespace {

struct Knobs {
  std::atomic<size_t> shortMost{0};
  std::atomic<uint64_t> calls{0};
  std::atomic<int64_t> sendBudget{-1}, readBudget{-1};
  std::atomic<int> sendErr{0};
  std::atomic<bool> grow{false};
  std::atomic<int> acceptErr{0}, acceptDelayMs{0};
  std::atomic<bool> acceptHeld{false};
  std::atomic<int> startsLeft{-1};
  std::atomic<int> slowStartsLeft{-1}, slowStartMs{0};
  std::atomic<int> writesLeft{-1}, writeErr{0};
  std::atomic<int> openErr{0}, optionErr{0};
  std::mutex openMutex;
  std::string openPart;  // guarded by openMutex
};
Knobs g;
SysCalls g_real;  // the calls in place before ours
bool g_installed = false;

bool Is(int fd, mode_t type) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && (info.st_mode & S_IFMT) == type;
}

// One transfer of up to n bytes by call(n), under the knobs in force.
template <typename Call>
ssize_t Shaped(size_t n, bool socketBytes, bool fileBytes, Call call) {
  if (size_t most = g.shortMost.load()) {
    uint64_t c = g.calls++;
    if (c % 3 == 2) return errno = EINTR, -1;
    if (c % 2) n = std::min(n, most);
  }
  const int64_t send = socketBytes ? g.sendBudget.load() : -1;
  const int64_t read = fileBytes ? g.readBudget.load() : -1;
  if (send == 0 && g.sendErr == 0) return 0;  // a send that moves nothing
  if (send == 0) return errno = g.sendErr.load(), -1;
  if (read == 0) return errno = EIO, -1;
  if (send > 0) n = std::min(n, size_t(send));
  if (read > 0) n = std::min(n, size_t(read));
  ssize_t done = call(n);
  if (done > 0 && send > 0) g.sendBudget -= done;
  if (done > 0 && read > 0) g.readBudget -= done;
  return done;
}

}  // namespace

void InstallFaults() {
  if (g_installed) return;
  g_installed = true;
  g_real = Sys();
  Sys().send = [](int fd, const void* data, size_t n, int flags) {
    return Shaped(n, true, false, [&](size_t m) { return g_real.send(fd, data, m, flags); });
  };
  Sys().recv = [](int fd, void* data, size_t n, int flags) {
    return Shaped(n, false, false, [&](size_t m) { return g_real.recv(fd, data, m, flags); });
  };
  Sys().read = [](int fd, void* data, size_t n) {
    return Shaped(n, false, true, [&](size_t m) {
      ssize_t r = g_real.read(fd, data, m);
      if (r == 0 && g.grow && m > 0) std::memset(data, 'G', r = ssize_t(m));
      return r;
    });
  };
  Sys().splice = [](int in, loff_t* inAt, int out, loff_t* outAt, size_t n, unsigned flags) {
    const bool fromFile = Is(in, S_IFREG);
    return Shaped(n, Is(out, S_IFSOCK), fromFile, [&](size_t m) {
      ssize_t r = g_real.splice(in, inAt, out, outAt, m, flags);
      if (r == 0 && fromFile && g.grow && m > 0) r = ::write(out, std::string(m, 'G').data(), m);
      return r;
    });
  };
  Sys().sendfile = [](int out, int in, off_t* at, size_t n) {
    return Shaped(n, true, true, [&](size_t m) { return g_real.sendfile(out, in, at, m); });
  };
  Sys().accept4 = [](int fd, sockaddr* address, socklen_t* length, int flags) {
    if (int err = g.acceptErr.exchange(0)) return errno = err, -1;
    if (int ms = g.acceptDelayMs) {
      g.acceptHeld = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    return g_real.accept4(fd, address, length, flags);
  };
  Sys().startThread = [](std::function<void()> body) {
    // The start each counter of starts to go comes to (0), as it counts down to -1.
    auto due = [](std::atomic<int>& left) {
      int n = left.load();
      while (n >= 0 && !left.compare_exchange_weak(n, n - 1)) {
      }
      return n == 0;
    };
    if (due(g.startsLeft)) return false;
    if (due(g.slowStartsLeft)) {
      body = [body = std::move(body), ms = g.slowStartMs.load()] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        body();
      };
    }
    return g_real.startThread(std::move(body));
  };
  Sys().open = [](int dir, const char* path, int flags, unsigned mode) {
    if (int err = g.openErr.load()) {
      std::lock_guard<std::mutex> lock(g.openMutex);
      if (std::strstr(path, g.openPart.c_str())) return errno = err, -1;
    }
    return g_real.open(dir, path, flags, mode);
  };
  Sys().setsockopt = [](int fd, int level, int name, const void* value, socklen_t length) {
    if (int err = g.optionErr.load()) return errno = err, -1;
    return g_real.setsockopt(fd, level, name, value, length);
  };
  Sys().write = [](int fd, const void* data, size_t n) -> ssize_t {
    int left = g.writesLeft.load();
    if (left >= 0 && g.writesLeft-- == 0) return errno = g.writeErr, -1;
    return Shaped(n, false, false, [&](size_t m) { return g_real.write(fd, data, m); });
  };
}

namespace {

std::string Name(int err) { return strerrorname_np(err) ? strerrorname_np(err) : "an error"; }

// Sets a knob and notes its fault, on or off.
template <typename T, typename V>
void Set(std::atomic<T>& knob, V value, bool on, const std::string& fault) {
  InstallFaults();
  knob = static_cast<T>(value);
  if (on) NoteFault(fault);
}

}  // namespace

void ShortTransfers(size_t most) {
  Set(g.shortMost, most, most > 0,
      "transfers of " + std::to_string(most) + " byte(s) on every other call, EINTR every third");
}

void FailSendsAfter(int64_t bytes, int err) {
  g.sendErr = err;
  Set(g.sendBudget, bytes, bytes >= 0, "send fails with " + Name(err));
}

void FailFileReadsAfter(int64_t bytes) {
  Set(g.readBudget, bytes, bytes >= 0, "file read fails with EIO");
}

void GrowFilesWhileRead(bool on) { Set(g.grow, on, on, "the file grows while it is read"); }

void FailNextAccept(int err) { Set(g.acceptErr, err, err != 0, "accept fails with " + Name(err)); }

void DelayAccepts(int delayMs) {
  Set(g.acceptDelayMs, delayMs, delayMs > 0,
      "accept held " + std::to_string(delayMs) + " ms while the server stops");
}

bool AcceptHeld() { return g.acceptHeld; }

void FailThreadStart(int n) { Set(g.startsLeft, n, n >= 0, "thread start fails"); }

void DelayThreadStart(int n, int delayMs) {
  g.slowStartMs = delayMs;
  Set(g.slowStartsLeft, n, n >= 0, "a thread begins " + std::to_string(delayMs) + " ms late");
}

void FailOpens(const std::string& part, int err) {
  {
    std::lock_guard<std::mutex> lock(g.openMutex);
    g.openPart = part;
  }
  Set(g.openErr, err, err != 0, "open fails with " + Name(err));
}

void FailWrite(int n, int err) {
  g.writeErr = err;
  Set(g.writesLeft, n, n >= 0, "write fails with " + Name(err));
}

void RefuseSocketOptions(int err) {
  Set(g.optionErr, err, err != 0, "a stream's pacing option refused with " + Name(err));
}

void ResetFaults() {
  g.shortMost = 0, g.calls = 0, g.sendBudget = -1, g.readBudget = -1, g.sendErr = 0;
  g.grow = false, g.acceptErr = 0, g.acceptDelayMs = 0;
  g.acceptHeld = false;
  g.startsLeft = -1, g.slowStartsLeft = -1, g.slowStartMs = 0, g.writesLeft = -1, g.writeErr = 0,
  g.openErr = 0, g.optionErr = 0;
  ResetSysCalls();
  g_installed = false;
}

}  // namespace rureza::test
