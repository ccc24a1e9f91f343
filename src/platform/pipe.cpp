#include "platform/pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace rureza {

Pipe Pipe::New(Status* error) {
  int ends[2];
  Pipe pipe;
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    if (error) *error = Status::FromErrno(errno);
    return pipe;
  }
  pipe.readFd_ = ends[0];
  pipe.writeFd_ = ends[1];
  return pipe;
}

void Pipe::SetCapacity(uint32_t bytes) const {
  if (writeFd_ >= 0) ::fcntl(writeFd_, F_SETPIPE_SZ, static_cast<int>(bytes));
}

ssize_t Pipe::Read(void* buffer, size_t length) const {
  ssize_t n;
  do {
    n = ::read(readFd_, buffer, length);
  } while (n < 0 && errno == EINTR);
  return n;
}

void Pipe::Close() {
  if (readFd_ >= 0) ::close(readFd_);
  if (writeFd_ >= 0) ::close(writeFd_);
  readFd_ = writeFd_ = -1;
}

}  // namespace rureza
