// ManualResetEvent: stays signalled from Set() until Reset(), waking every waiter.
// Notifier: a pollable wake-up flag (eventfd) for threads that wait in Poll().
// Thread safety: all methods may be called from any thread. Share an event through a
// shared_ptr when a waiter may outlive the code that created it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace rureza {

class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool signalled = false) : signalled_(signalled) {}
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  void Wait() const;
  // True when signalled within timeoutMs.
  bool WaitFor(uint32_t timeoutMs) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool signalled_;  // guarded by mutex_
};

class Notifier {
 public:
  Notifier();
  ~Notifier();
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  bool valid() const { return fd_ >= 0; }
  // Makes fd() readable until the next Drain().
  void Notify();
  void Drain();
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace rureza
