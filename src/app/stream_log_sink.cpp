#include "app/stream_log_sink.h"

#include <unistd.h>

#include <cerrno>

namespace rureza {
namespace {

// A descriptor that fails (closed stdout, full disk) loses the line; the server goes on.
void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

void StreamLogSink::AddLine(std::string_view line) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A stalled reader must not let the lines pile up without end.
  drained_.wait(lock, [this] { return pending_.size() < kMostPending; });
  pending_.append(line);
  pending_.push_back('\n');
  if (writing_) return;  // that thread writes this line too before it leaves
  writing_ = true;
  std::string batch;
  while (!pending_.empty()) {
    batch.clear();
    batch.swap(pending_);
    lock.unlock();
    WriteAll(fd_, batch);
    lock.lock();
    drained_.notify_all();
  }
  // The buffer's storage stays for the next batch.
  pending_.swap(batch);
  pending_.clear();
  writing_ = false;
}

}  // namespace rureza
