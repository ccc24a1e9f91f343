#include "platform/event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>

namespace rureza {

void ManualResetEvent::Set() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = true;
  changed_.notify_all();
}

void ManualResetEvent::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

bool ManualResetEvent::IsSet() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return signalled_;
}

void ManualResetEvent::Wait() const {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return signalled_; });
}

bool ManualResetEvent::WaitFor(uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return signalled_; });
}

Notifier::Notifier() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Notifier::~Notifier() {
  if (fd_ >= 0) ::close(fd_);
}

void Notifier::Notify() {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}

void Notifier::Drain() {
  uint64_t value;
  [[maybe_unused]] ssize_t n = ::read(fd_, &value, sizeof value);
}

}  // namespace rureza
