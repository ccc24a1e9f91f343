// StreamLogSink: the headless server's activity log, one line after another on a file
// descriptor (stdout, journaled by whatever runs the service).
// Thread safety: AddLine may be called from any thread. Lines come out whole and in the order
// the sink took them; a line is written before the thread that took it, or the one writing when
// it was taken, leaves AddLine, so nothing is left unwritten once every appending thread has
// returned.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>

#include "server/activity_log.h"

namespace rureza {

class StreamLogSink : public LogSink {
 public:
  explicit StreamLogSink(int fd) : fd_(fd) {}

  void AddLine(std::string_view line) override;
  // Emptying the list at the log-line limit has no meaning for a stream of lines.
  void Clear() override {}

 private:
  // Lines that come while another thread writes wait here and go out with its next write, so
  // threads logging at once neither queue for the descriptor nor make a system call each.
  static constexpr size_t kMostPending = 1 << 20;

  const int fd_;
  std::mutex mutex_;
  std::condition_variable drained_;
  std::string pending_;   // guarded by mutex_
  bool writing_ = false;  // guarded by mutex_: a thread is writing pending_
};

}  // namespace rureza
