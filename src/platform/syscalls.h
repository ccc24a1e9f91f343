// The seam between the server and the kernel: every socket transfer, accept, file open, read
// or write and thread start goes through this table, so tests can inject faults (short
// transfers, EINTR, resets, read errors, a thread that cannot start).
// Replace entries only while no server thread runs; reads are unsynchronised.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <functional>

namespace rureza {

struct SysCalls {
  ssize_t (*send)(int fd, const void* buf, size_t len, int flags);
  ssize_t (*recv)(int fd, void* buf, size_t len, int flags);
  ssize_t (*read)(int fd, void* buf, size_t len);
  ssize_t (*write)(int fd, const void* buf, size_t len);
  int (*accept4)(int fd, sockaddr* addr, socklen_t* len, int flags);
  // Runs body on a new detached thread; false when the thread cannot be started.
  bool (*startThread)(std::function<void()> body);
  // Opens a file by path (mode only matters with O_CREAT).
  int (*open)(const char* path, int flags, unsigned mode);
};

// The table in use. Starts as the real calls.
SysCalls& Sys();

// Puts the real calls back.
void ResetSysCalls();

}  // namespace rureza
