// LogListSink: makes a CSkinnedListBox the sink of the activity log. A line from another thread
// is queued for the GUI thread and its writer waits until the list holds it; a line written on
// the GUI thread is added at once. Lines reach the list in the order the sink received them,
// and an emptying at the log-line limit keeps its place among them.
//
// The GUI thread never waits for a writer, so a writer can never block a GUI thread that waits
// for it: while a DeferScope is open (the GUI thread is about to wait for server threads, as in
// StopServer), writers queue their lines and go on; the lines are added when the scope closes.
// After Detach() (the list is going away) lines go to stderr and nobody waits.
//
// Thread safety: AddLine, Clear and AddedCount from any thread; the constructor, Detach and
// DeferScope on the GUI thread. Must be owned by a std::shared_ptr.
#pragma once

#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "server/activity_log.h"

namespace rureza {

class CSkinnedListBox;

class LogListSink : public LogSink, public std::enable_shared_from_this<LogListSink> {
 public:
  explicit LogListSink(CSkinnedListBox* list);
  LogListSink(const LogListSink&) = delete;
  LogListSink& operator=(const LogListSink&) = delete;

  void AddLine(std::string_view line) override;
  void Clear() override;

  // Ends the tie to the list: queued lines go to stderr, waiting writers return, and later
  // lines go to stderr at once.
  void Detach();

  // Lines the list has taken so far.
  uint64_t AddedCount() const { return added_.load(); }

  class DeferScope {
   public:
    explicit DeferScope(LogListSink* sink);
    ~DeferScope();
    DeferScope(const DeferScope&) = delete;
    DeferScope& operator=(const DeferScope&) = delete;

   private:
    LogListSink* sink_;
  };

 private:
  struct Op {
    bool clear = false;
    QString line;
  };
  // Lines that may wait in the queue while writers do not wait; beyond it they wait anyway.
  static constexpr size_t kMaxDeferred = 100000;

  void Submit(Op op);
  void Drain();  // GUI thread
  void Apply(CSkinnedListBox* list, const std::vector<Op>& ops);

  const std::thread::id guiThread_;
  std::atomic<uint64_t> added_{0};

  std::mutex mutex_;
  std::condition_variable applied_;
  CSkinnedListBox* list_;      // guarded by mutex_; used on the GUI thread only
  std::vector<Op> pending_;    // guarded by mutex_
  uint64_t submittedOps_ = 0;  // guarded by mutex_
  uint64_t appliedOps_ = 0;    // guarded by mutex_
  bool drainPosted_ = false;   // guarded by mutex_
  int deferDepth_ = 0;         // guarded by mutex_
};

}  // namespace rureza
