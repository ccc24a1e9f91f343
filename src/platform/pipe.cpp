#include "platform/pipe.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
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

bool Pipe::WriteAll(const void* data, size_t length) const {
  thread_local bool sigpipeBlocked = false;
  if (!sigpipeBlocked) {
    // A reader that has gone makes the write fail with EPIPE instead of ending the process.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    sigpipeBlocked = true;
  }
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(writeFd_, bytes + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Pipe::CloseRead() {
  if (readFd_ >= 0) ::close(readFd_);
  readFd_ = -1;
}

void Pipe::CloseWrite() {
  if (writeFd_ >= 0) ::close(writeFd_);
  writeFd_ = -1;
}

void Pipe::Close() {
  if (readFd_ >= 0) ::close(readFd_);
  if (writeFd_ >= 0) ::close(writeFd_);
  readFd_ = writeFd_ = -1;
}

}  // namespace rureza
