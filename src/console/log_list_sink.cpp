#include "console/log_list_sink.h"

#include <QMetaObject>
#include <cstdio>

#include "console/skinned_list_box.h"

namespace rureza {
namespace {

void WriteToStderr(const QString& line) {
  const QByteArray bytes = line.toUtf8();
  std::fprintf(stderr, "%.*s\n", static_cast<int>(bytes.size()), bytes.constData());
}

}  // namespace

LogListSink::LogListSink(CSkinnedListBox* list)
    : guiThread_(std::this_thread::get_id()), list_(list) {}

void LogListSink::AddLine(std::string_view line) {
  // Converted here, on the writer's thread, to spare the GUI thread.
  Submit(Op{false, QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()))});
}

void LogListSink::Clear() { Submit(Op{true, QString()}); }

void LogListSink::Submit(Op op) {
  const bool onGuiThread = std::this_thread::get_id() == guiThread_;
  std::unique_lock<std::mutex> lock(mutex_);
  if (list_ == nullptr) {
    lock.unlock();
    if (!op.clear) WriteToStderr(op.line);
    return;
  }
  pending_.push_back(std::move(op));
  const uint64_t ticket = ++submittedOps_;
  if (onGuiThread) {
    lock.unlock();
    Drain();  // what other threads queued first, then this line
    return;
  }
  if (!drainPosted_) {
    drainPosted_ = true;
    // The list outlives every posted call: Detach runs (under mutex_) before it goes, and Qt
    // drops calls still queued for an object it destroys.
    QMetaObject::invokeMethod(
        list_,
        [weak = weak_from_this()] {
          if (auto self = weak.lock()) self->Drain();
        },
        Qt::QueuedConnection);
  }
  applied_.wait(lock, [&] {
    return appliedOps_ >= ticket || list_ == nullptr ||
           (deferDepth_ > 0 && pending_.size() < kMaxDeferred);
  });
}

void LogListSink::Drain() {
  std::vector<Op> batch;
  uint64_t upTo = 0;
  CSkinnedListBox* list = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    drainPosted_ = false;
    if (list_ == nullptr || pending_.empty()) return;
    batch.swap(pending_);
    upTo = submittedOps_;
    list = list_;
  }
  Apply(list, batch);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    appliedOps_ = upTo;
  }
  applied_.notify_all();
}

// The list stays valid here: only this thread detaches it.
void LogListSink::Apply(CSkinnedListBox* list, const std::vector<Op>& ops) {
  QStringList lines;
  auto flush = [&] {
    if (lines.isEmpty()) return;
    list->AddStrings(lines);
    added_.fetch_add(static_cast<uint64_t>(lines.size()));
    lines.clear();
  };
  for (const Op& op : ops) {
    if (op.clear) {
      flush();
      list->ResetContent();
    } else {
      lines.append(op.line);
    }
  }
  flush();
}

void LogListSink::Detach() {
  std::vector<Op> rest;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (list_ == nullptr) return;
    list_ = nullptr;
    rest.swap(pending_);
    appliedOps_ = submittedOps_;
  }
  applied_.notify_all();
  for (const Op& op : rest) {
    if (!op.clear) WriteToStderr(op.line);
  }
}

LogListSink::DeferScope::DeferScope(LogListSink* sink) : sink_(sink) {
  {
    std::lock_guard<std::mutex> lock(sink_->mutex_);
    ++sink_->deferDepth_;
  }
  sink_->applied_.notify_all();  // writers already waiting go on too
}

LogListSink::DeferScope::~DeferScope() {
  {
    std::lock_guard<std::mutex> lock(sink_->mutex_);
    --sink_->deferDepth_;
  }
  sink_->Drain();
}

}  // namespace rureza
