// The seam between the server and the kernel: every socket transfer, accept, file or folder
// open, read or write, thread start and stream pacing option goes through this table, so tests
// can inject faults (short transfers, EINTR, resets, read errors, a thread that cannot start).
// Replace entries only while no server thread runs; reads are unsynchronised.
#pragma once

#include <fcntl.h>
#include <sys/sendfile.h>
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
  // File to pipe and pipe to socket, for file bytes that never pass through the process.
  ssize_t (*splice)(int in, loff_t* inOffset, int out, loff_t* outOffset, size_t len,
                    unsigned flags);
  ssize_t (*sendfile)(int out, int in, off_t* offset, size_t count);
  // Runs body on a detached thread (an idle one of the pool, or a new one) and counts its end;
  // false when no thread can be started. A replacement must fail, or hand body on to the real
  // entry, which does the counting.
  bool (*startThread)(std::function<void()> body);
  // Opens a file or folder by path, relative to the open folder dir (AT_FDCWD: the current
  // directory); mode only matters with O_CREAT.
  int (*open)(int dir, const char* path, int flags, unsigned mode);
  // The socket options that pace a stream (the others are set directly).
  int (*setsockopt)(int fd, int level, int name, const void* value, socklen_t length);
};

// The table in use. Starts as the real calls.
SysCalls& Sys();

// Puts the real calls back.
void ResetSysCalls();

}  // namespace rureza
