// ConversionJob: one conversion's bytes as its converter process makes them, kept in a spool
// (conversion_spool.h) for the plays that send them. A thread of its own starts the converter
// (so the process is tied to no play's thread), pumps its output into the spool, takes its
// replies and watches it: a converter that makes no progress, in bytes or in processor time,
// for the watchdog's time while the job is not holding it back is taken to hang and killed. One
// that dies (a crash, a kill, its time limit) is started once more with the same request, and
// the bytes it has already delivered are dropped from the new one's output (conversions are
// deterministic), so the plays go on without a gap; a second death, a hang or a failure it
// reports ends the job. The job ends when its bytes are whole, when it fails, when it is
// cancelled (its owner's policy: no play wants it any more) or when the conversions stop.
// Thread safety: every method may be called from any thread; a Reader is one play's, used by
// one thread at a time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "conversion/conversion_spool.h"
#include "conversion/converter_registry.h"
#include "platform/event.h"
#include "platform/file.h"

namespace rureza {

// Conversions that wait for their turn: at most n of them run their converters at once.
class JobSlots {
 public:
  explicit JobSlots(int n) : free_(n) {}
  // Takes a slot; false (and none taken) once giveUp() holds, asked every few milliseconds.
  bool Take(const std::function<bool()>& giveUp);
  void Give();

 private:
  std::mutex mutex_;
  std::condition_variable freed_;
  int free_;  // guarded by mutex_
};

struct ConversionJobSpec {
  ConverterRequest request;  // of a kind that makes bytes
  File source;               // the checked source: each converter gets a description of its own
  File companion;            // invalid, or a file sent after the source (a video's subtitles)
  int64_t start = 0;         // the stream offset of the first byte it makes
  int64_t end = -1;          // where its bytes end; -1: where the converter says when done
  ConverterProcess::Limits limits;
  uint32_t watchdogMs = 20000;
  ConversionSpool spool;
  // Where set, the job waits for a slot before its converter starts (no watchdog meanwhile).
  std::shared_ptr<JobSlots> slots;
  // Called on the job's thread once its converter is gone and its readers have heard the end:
  // whole says every byte came (a cache part can be kept). The owner lets go of the job here.
  std::function<void(bool whole)> onEnd;
};

class ConversionJob : public std::enable_shared_from_this<ConversionJob> {
 public:
  // Starts the job's thread. Null when none can be started (onEnd is not called then).
  static std::shared_ptr<ConversionJob> Start(std::shared_ptr<ConverterRegistry> registry,
                                              ConversionJobSpec setup);
  ~ConversionJob();

  struct Span {
    enum class State {
      kReady,    // bytes from fileOffset of *file are the stream's from the offset asked
      kWaiting,  // not yet
      kEnd,      // the offset is at or past the end
      kFailed,   // the job failed (failure() says why)
      kBehind,   // the offset is before the bytes the spool still holds
    };
    State state = State::kWaiting;
    File* file = nullptr;  // kReady: the reader's own handle
    int64_t fileOffset = 0;
    int64_t bytes = 0;
  };

  // One play's reads. Where it reads holds back a ring's writer.
  class Reader {
   public:
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    // The bytes from offset on: ready when at least min(wanted, end - offset) (and 1) of them
    // are there, or when the job is done and some are; otherwise waits up to waitMs for them.
    Span BytesAt(int64_t offset, int64_t wanted, int waitMs);
    ConversionJob& job() { return *job_; }

   private:
    friend class ConversionJob;
    Reader(std::shared_ptr<ConversionJob> job, File file, uint64_t id)
        : job_(std::move(job)), file_(std::move(file)), id_(id) {}
    const std::shared_ptr<ConversionJob> job_;
    File file_;
    const uint64_t id_;
  };
  // A new play of the job's bytes; null when the spool cannot be opened once more.
  std::unique_ptr<Reader> NewReader();

  // Ends the job now: its converter is killed and its readers fail.
  void Cancel();

  enum class State { kRunning, kDone, kFailed };
  // kFailed from the moment a running job is cancelled, before its thread has ended it: a play
  // that starts then must not join it.
  State state() const;
  std::string failure() const;
  int readers() const;
  int64_t start() const { return start_; }
  // Where its bytes end; -1 while unknown.
  int64_t end() const;
  // The stream offset up to which its bytes have come.
  int64_t written() const;
  // When it started (TickCountMs), for an estimate of its pace.
  uint32_t startedAt() const { return startedAt_; }
  // Waits until it has ended; false when timeoutMs passes first.
  bool WaitForEnd(int timeoutMs) const;

 private:
  ConversionJob(std::shared_ptr<ConverterRegistry> registry, ConversionJobSpec setup);
  void Run();
  // One converter's run: true when the bytes came whole. *restart: it died, worth another try.
  bool RunConverter(std::string* failure, bool* restart);
  int64_t SlowestReaderLocked() const;

  const std::shared_ptr<ConverterRegistry> registry_;
  ConversionJobSpec spec_;  // used by the job's thread only, but for the spool's file (mutex_)
  const int64_t start_;
  const uint32_t startedAt_;
  Notifier wake_;  // a reader moved on, or the job was cancelled

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  int64_t end_;                            // guarded by mutex_
  int64_t written_;                        // guarded by mutex_
  State state_ = State::kRunning;          // guarded by mutex_
  std::string failure_;                    // guarded by mutex_
  bool cancelled_ = false;                 // guarded by mutex_
  ConverterProcess* process_ = nullptr;    // guarded by mutex_: the converter running now
  std::map<uint64_t, int64_t> positions_;  // guarded by mutex_: each reader's offset
  uint64_t nextReader_ = 0;                // guarded by mutex_
};

}  // namespace rureza
