// The log list as the activity log's sink: many writers at once, writers that wait until their
// line is in the list, and the ways a writer must never be kept waiting (the list is going
// away, or the GUI thread is itself waiting for server threads).
#include <QtTest>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "console/log_list_sink.h"
#include "console/skinned_list_box.h"
#include "gui/gui_test_support.h"
#include "server/activity_log.h"

namespace rureza {
namespace {

// Waits for cond without running the event loop, so the GUI thread adds nothing meanwhile.
bool WaitWithoutEvents(const std::function<bool()>& cond, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Threads that end on their own. A thread still stuck when the test ends (it has failed then)
// is left to the process rather than hanging the test.
class Writers {
 public:
  ~Writers() {
    const bool allEnded = finished() == static_cast<int>(threads_.size());
    for (std::thread& t : threads_) {
      if (allEnded) {
        t.join();
      } else {
        t.detach();
      }
    }
  }
  void Start(const std::function<void(int)>& body, int count) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([finished = finished_, body, i] {
        body(i);
        finished->fetch_add(1);
      });
    }
  }
  int finished() const { return finished_->load(); }

 private:
  std::vector<std::thread> threads_;
  std::shared_ptr<std::atomic<int>> finished_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace

class LogSinkTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<CSkinnedListBox> list_;
  std::shared_ptr<LogListSink> sink_;

 private slots:
  void init() {
    list_ = std::make_unique<CSkinnedListBox>();
    sink_ = std::make_shared<LogListSink>(list_.get());
    SetLogSink(sink_);
    test::SetLogLineLimit(10000);
    test::ResetLogLineCount();
  }

  void cleanup() {
    SetLogSink(nullptr);
    sink_->Detach();
    sink_.reset();
    list_.reset();
  }

  void manyWritersLoseNothingAndKeepTheirOrder() {
    constexpr int kThreads = 24;
    constexpr int kLines = 400;
    Writers writers;
    writers.Start(
        [](int thread) {
          for (int k = 0; k < kLines; ++k) AppendLogUncounted(Format("%d %d", thread, k));
        },
        kThreads);
    QTRY_COMPARE_WITH_TIMEOUT(writers.finished(), kThreads, 60000);
    QCOMPARE(list_->GetCount(), kThreads * kLines);
    std::vector<int> next(kThreads, 0);
    for (int row = 0; row < list_->GetCount(); ++row) {
      const QStringList parts = list_->GetText(row).split(' ');
      const int thread = parts[0].toInt();
      QCOMPARE(parts[1].toInt(), next[static_cast<size_t>(thread)]++);
    }
  }

  void countedLinesFromManyWritersEmptyTheListAtTheLimit() {
    test::SetLogLineLimit(100);
    test::ResetLogLineCount();
    list_->ResetContent();
    const uint64_t before = sink_->AddedCount();
    Writers writers;
    writers.Start(
        [](int) {
          for (int k = 0; k < 250; ++k) AppendLog("counted");
        },
        8);
    QTRY_COMPARE_WITH_TIMEOUT(writers.finished(), 8, 60000);
    QCOMPARE(sink_->AddedCount() - before, uint64_t{2000});
    // 2000 counted lines at limit 100: the list was emptied and holds fewer than the limit
    // (plus lines of other writers that came between a limit and its emptying).
    QVERIFY2(list_->GetCount() < 100 + 8, qPrintable(QString::number(list_->GetCount())));
  }

  void aWriterReturnsOnlyOnceItsLineIsInTheList() {
    std::atomic<int> early{0};
    Writers writers;
    writers.Start(
        [&](int) {
          for (uint64_t k = 1; k <= 300; ++k) {
            AppendLogUncounted("line");
            if (sink_->AddedCount() < k) early.fetch_add(1);
          }
        },
        1);
    QTRY_COMPARE_WITH_TIMEOUT(writers.finished(), 1, 30000);
    QCOMPARE(early.load(), 0);
    QCOMPARE(list_->GetCount(), 300);
  }

  void aLineFromTheGuiThreadIsAddedAtOnce() {
    AppendLogUncounted("direct");
    QCOMPARE(list_->GetCount(), 1);
    QCOMPARE(list_->GetText(0), QStringLiteral("direct"));
  }

  void anEmptyingKeepsItsPlaceAmongTheLines() {
    Writers writers;
    writers.Start(
        [this](int) {
          AppendLogUncounted("before");
          sink_->Clear();
          AppendLogUncounted("after");
        },
        1);
    QTRY_COMPARE_WITH_TIMEOUT(writers.finished(), 1, 10000);
    QCOMPARE(list_->GetCount(), 1);
    QCOMPARE(list_->GetText(0), QStringLiteral("after"));
  }

  void detachingReleasesWaitingWritersAndLaterOnesNeverWait() {
    Writers writers;
    writers.Start([](int) { AppendLogUncounted("held"); }, 4);
    // The GUI thread runs no events, so the writers wait for it...
    QVERIFY(!WaitWithoutEvents([&] { return writers.finished() > 0; }, 200));
    // ...until the list goes away.
    sink_->Detach();
    QVERIFY(WaitWithoutEvents([&] { return writers.finished() == 4; }, 10000));
    Writers later;
    later.Start(
        [this](int) {
          for (int k = 0; k < 100; ++k) sink_->AddLine("after the window");
        },
        2);
    QVERIFY(WaitWithoutEvents([&] { return later.finished() == 2; }, 10000));
    QCOMPARE(list_->GetCount(), 0);
  }

  void writersGoOnWhileTheGuiThreadWaitsForThem() {
    Writers writers;
    {
      LogListSink::DeferScope defer(sink_.get());
      writers.Start(
          [](int) {
            for (int k = 0; k < 50; ++k) AppendLogUncounted(Format("deferred %d", k));
          },
          1);
      // As StopServer waits for its listener: the GUI thread waits for a writer.
      QVERIFY(WaitWithoutEvents([&] { return writers.finished() == 1; }, 10000));
      QCOMPARE(list_->GetCount(), 0);
    }
    QCOMPARE(list_->GetCount(), 50);
    QCOMPARE(list_->GetText(49), QStringLiteral("deferred 49"));
  }

  void aWriterAlreadyWaitingIsReleasedWhenTheGuiThreadStartsToWait() {
    Writers writers;
    writers.Start([](int) { AppendLogUncounted("waiting"); }, 1);
    QVERIFY(!WaitWithoutEvents([&] { return writers.finished() == 1; }, 100));
    LogListSink::DeferScope defer(sink_.get());
    QVERIFY(WaitWithoutEvents([&] { return writers.finished() == 1; }, 10000));
  }
};

}  // namespace rureza

QTEST_MAIN(rureza::LogSinkTest)
#include "log_sink_test.moc"
