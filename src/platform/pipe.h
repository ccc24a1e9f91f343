// Pipe: a move-only owner of the two ends of one kernel pipe, each closed exactly once. The
// transfer layer fills one from a file and empties it into a socket, so file bytes never pass
// through the process.
// Thread safety: one thread owns the object.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/status.h"

namespace rureza {

class Pipe {
 public:
  Pipe() = default;
  ~Pipe() { Close(); }
  Pipe(Pipe&& other) noexcept
      : readFd_(std::exchange(other.readFd_, -1)), writeFd_(std::exchange(other.writeFd_, -1)) {}
  Pipe& operator=(Pipe&& other) noexcept {
    if (this != &other) {
      Close();
      readFd_ = std::exchange(other.readFd_, -1);
      writeFd_ = std::exchange(other.writeFd_, -1);
    }
    return *this;
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  // A new pipe (close-on-exec). On failure (descriptors used up) an invalid pipe and *error.
  static Pipe New(Status* error = nullptr);

  bool valid() const { return readFd_ >= 0; }
  int readFd() const { return readFd_; }
  int writeFd() const { return writeFd_; }

  // Asks for room for at least bytes; the kernel may grant less (then writes just stop sooner).
  void SetCapacity(uint32_t bytes) const;
  // Reads up to length bytes that are in the pipe (retrying EINTR); -1 on failure.
  ssize_t Read(void* buffer, size_t length) const;
  // Writes all length bytes (retrying EINTR and short writes); false when the reading end is
  // closed or the write fails. The calling thread's SIGPIPE is blocked from then on.
  bool WriteAll(const void* data, size_t length) const;

  void Close();
  // Closes one end (the other side of a process boundary has it).
  void CloseRead();
  void CloseWrite();

 private:
  int readFd_ = -1;
  int writeFd_ = -1;
};

}  // namespace rureza
