#include "conversion/conversion_job.h"

#include <cerrno>
#include <chrono>
#include <vector>

#include "platform/clock.h"
#include "platform/poll.h"
#include "platform/thread.h"

namespace rureza {
namespace {

// How often the job looks at its converter's processor time (the watchdog's measure).
constexpr int kLookMs = 500;
// Converted bytes are moved from the converter's pipe in pieces of this size.
constexpr size_t kPumpBytes = 64 * 1024;

}  // namespace

bool JobSlots::Take(const std::function<bool()>& giveUp) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (free_ == 0) {
    if (giveUp()) return false;
    freed_.wait_for(lock, std::chrono::milliseconds(50));
  }
  --free_;
  return true;
}

void JobSlots::Give() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++free_;
  }
  freed_.notify_one();
}

ConversionJob::ConversionJob(std::shared_ptr<ConverterRegistry> registry, ConversionJobSpec setup)
    : registry_(std::move(registry)),
      spec_(std::move(setup)),
      start_(spec_.start),
      startedAt_(TickCountMs()),
      end_(spec_.end),
      written_(spec_.start) {}

ConversionJob::~ConversionJob() = default;

std::shared_ptr<ConversionJob> ConversionJob::Start(std::shared_ptr<ConverterRegistry> registry,
                                                    ConversionJobSpec setup) {
  std::shared_ptr<ConversionJob> job(new ConversionJob(std::move(registry), std::move(setup)));
  if (!job->wake_.valid() || !StartThread([job] { job->Run(); })) return nullptr;
  return job;
}

void ConversionJob::Run() {
  std::string failure;
  bool whole = false;
  const bool slot = !spec_.slots || spec_.slots->Take([this] {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_ || registry_->stopping();
  });
  // A converter that dies is started once more; one that hangs or says it fails is not.
  for (int attempt = 0; slot && attempt < 2; ++attempt) {
    bool restart = false;
    whole = RunConverter(&failure, &restart);
    if (whole || !restart || registry_->stopping()) break;
  }
  if (!slot) failure = "it is no longer wanted";
  if (slot && spec_.slots) spec_.slots->Give();
  if (registry_->stopping() && !whole) failure = "the server stops";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = whole ? State::kDone : State::kFailed;
    if (whole) end_ = written_;
    failure_ = whole ? "" : failure.empty() ? "it failed" : failure;
    changed_.notify_all();
  }
  // After the readers heard the end: what the owner does then (keeping a cache entry, say)
  // costs them nothing.
  if (spec_.onEnd) spec_.onEnd(whole);
}

bool ConversionJob::RunConverter(std::string* failure, bool* restart) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_) {
      *failure = "it is no longer wanted";
      return false;
    }
  }
  ConverterRegistry::Process process = registry_->Start(spec_.limits, true, failure);
  if (!process) return false;
  int64_t delivered;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_) process->Kill();
    process_ = process.get();
    delivered = written_;
  }
  struct Forget {
    ConversionJob* job;
    ~Forget() {
      std::lock_guard<std::mutex> lock(job->mutex_);
      job->process_ = nullptr;
    }
  } forget{this};
  // The bytes this converter makes that an earlier one delivered already.
  int64_t skip = delivered - start_;
  {
    File own = spec_.source.Reopen();
    const File companion = spec_.companion.valid() ? spec_.companion.Reopen() : File();
    std::vector<int> descriptors = {own.fd()};
    if (companion.valid()) descriptors.push_back(companion.fd());
    if (!own.valid() || !process->Send(spec_.request, descriptors)) {
      *failure = own.valid() ? "it does not take the request" : "the source cannot be opened";
      *restart = own.valid();
      return false;
    }
  }
  std::vector<char> buffer(kPumpBytes);
  int64_t made = 0;   // bytes read from this converter
  int64_t said = -1;  // the bytes it says it made, once done
  bool outputOpen = true;
  uint64_t cpu = 0;
  uint32_t lastProgress = TickCountMs(), lastLook = lastProgress;
  for (;;) {
    int64_t limit, end;
    bool cancelled;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cancelled = cancelled_ || registry_->stopping();
      limit = spec_.spool.WriteLimit(written_, SlowestReaderLocked());
      end = end_;
    }
    if (cancelled) {
      *failure = registry_->stopping() ? "the server stops" : "it is no longer wanted";
      return false;
    }
    if (said >= 0 && made == said) {
      if (end >= 0 && start_ + said != end) {
        *failure = "it made " + std::to_string(said) + " bytes of " + std::to_string(end - start_);
        return false;
      }
      return delivered == start_ + said;
    }
    // Held back by the ring (a play has not taken its bytes yet), the converter waits in its
    // write: that is no hang.
    const bool room = delivered < limit;
    if (!room) lastProgress = TickCountMs();
    PollItem items[3] = {{wake_.fd(), false},
                         {process->replyFd(), false},
                         {outputOpen && room ? process->outputFd() : -1, false}};
    if (PollReadable(items, 3, kLookMs) < 0) {
      *failure = "its pipes cannot be watched";
      return false;
    }
    if (items[0].readable) wake_.Drain();
    if (items[2].readable) {
      const int64_t size = static_cast<int64_t>(buffer.size());
      const int64_t want = std::min(size, skip + std::min(size, limit - delivered));
      const ssize_t n = process->ReadOutput(buffer.data(), static_cast<size_t>(want));
      if (n == 0) outputOpen = false;
      if (n > 0) {
        made += n;
        lastProgress = TickCountMs();
        const int64_t dropped = std::min<int64_t>(skip, n);
        skip -= dropped;
        const int64_t fresh = n - dropped;
        if (end >= 0 && delivered + fresh > end) {
          process->Kill();
          *failure = "it made more bytes than the stream has";
          return false;
        }
        if (fresh > 0) {
          if (!spec_.spool.Write(delivered, buffer.data() + dropped, static_cast<size_t>(fresh))) {
            process->Kill();
            *failure = "its bytes cannot be kept: " + ErrorText(errno);
            return false;
          }
          delivered += fresh;
          std::lock_guard<std::mutex> lock(mutex_);
          written_ = delivered;
          changed_.notify_all();
        }
      }
    }
    // Every reply that has come, also those read with an earlier one.
    for (bool more = items[1].readable || !outputOpen; more;) {
      Reply reply;
      switch (process->Receive(&reply, 0)) {
        case ConverterProcess::Outcome::kReply:
          lastProgress = TickCountMs();
          if (reply.kind == ReplyKind::kDone) said = static_cast<int64_t>(reply.bytes);
          if (reply.kind == ReplyKind::kFailed) {
            *failure = reply.text;
            return false;
          }
          break;
        case ConverterProcess::Outcome::kSilent:
          more = false;
          if (!outputOpen && TickCountMs() - lastProgress >= spec_.watchdogMs) {
            *failure = "it closed its output and said nothing";
            return false;
          }
          break;
        case ConverterProcess::Outcome::kGone:
          *failure = process->EndText();
          *restart = process->Died();
          // What it made before it died is kept; the rest comes from the next one.
          return false;
      }
    }
    const uint32_t now = TickCountMs();
    if (now - lastLook >= kLookMs) {
      lastLook = now;
      const uint64_t ticks = process->CpuTicks();
      if (ticks != cpu) lastProgress = now;
      cpu = ticks;
    }
    if (now - lastProgress >= spec_.watchdogMs) {
      process->Kill();
      *failure = "it hung";
      return false;
    }
  }
}

int64_t ConversionJob::SlowestReaderLocked() const {
  if (positions_.empty()) return written_;
  int64_t slowest = INT64_MAX;
  for (const auto& [id, position] : positions_) slowest = std::min(slowest, position);
  return slowest;
}

std::unique_ptr<ConversionJob::Reader> ConversionJob::NewReader() {
  std::lock_guard<std::mutex> lock(mutex_);
  File file = spec_.spool.file().Reopen();
  if (!file.valid()) return nullptr;
  const uint64_t id = nextReader_++;
  positions_[id] = spec_.spool.Lowest(start_, written_);
  return std::unique_ptr<Reader>(new Reader(shared_from_this(), std::move(file), id));
}

ConversionJob::Reader::~Reader() {
  {
    std::lock_guard<std::mutex> lock(job_->mutex_);
    job_->positions_.erase(id_);
  }
  job_->wake_.Notify();
}

ConversionJob::Span ConversionJob::Reader::BytesAt(int64_t offset, int64_t wanted, int waitMs) {
  ConversionJob& job = *job_;
  Span span;
  std::unique_lock<std::mutex> lock(job.mutex_);
  if (job.positions_[id_] != offset) {
    job.positions_[id_] = offset;
    if (job.spec_.spool.ring()) job.wake_.Notify();
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (job.end_ >= 0 && offset >= job.end_) {
      span.state = Span::State::kEnd;
      return span;
    }
    if (offset < job.spec_.spool.Lowest(job.start_, job.written_)) {
      span.state = Span::State::kBehind;
      return span;
    }
    int64_t need = offset + std::max<int64_t>(1, wanted);
    if (job.end_ >= 0) need = std::min(need, job.end_);
    if (job.written_ >= need || (job.state_ != State::kRunning && offset < job.written_)) {
      const auto [fileOffset, bytes] = job.spec_.spool.Locate(offset, job.written_);
      span.state = Span::State::kReady;
      span.file = &file_;
      span.fileOffset = fileOffset;
      span.bytes = bytes;
      return span;
    }
    if (job.state_ == State::kFailed) {
      span.state = Span::State::kFailed;
      return span;
    }
    if (job.state_ == State::kDone) {
      span.state = Span::State::kEnd;
      return span;
    }
    if (job.changed_.wait_until(lock, deadline) == std::cv_status::timeout) return span;
  }
}

void ConversionJob::Cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    if (process_ != nullptr) process_->Kill();
  }
  wake_.Notify();
}

ConversionJob::State ConversionJob::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_ && state_ == State::kRunning ? State::kFailed : state_;
}

std::string ConversionJob::failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

int ConversionJob::readers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(positions_.size());
}

int64_t ConversionJob::end() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return end_;
}

int64_t ConversionJob::written() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

bool ConversionJob::WaitForEnd(int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return state_ != State::kRunning; });
}

}  // namespace rureza
