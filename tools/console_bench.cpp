// rureza-console-bench: how the console copes with the activity log.
//   rureza-console-bench [THREADS=50] [SECONDS=5]
// 1. THREADS writers append counted lines as fast as they can for SECONDS while the main window
//    runs: lines per second, and how regularly the window's own 200 ms timer kept ticking.
// 2. A list of 10,000 lines scrolled page by page and repainted: the time each step takes.
// Runs offscreen unless QT_QPA_PLATFORM says otherwise, in a temporary folder.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "console/rureza_dlg.h"
#include "console/skinned_list_box.h"
#include "server/activity_log.h"
#include "settings/settings_file.h"

namespace rureza {
namespace {

void MeasureLogThroughput(int threads, int seconds) {
  CRurezaDlg window;
  window.show();
  QApplication::processEvents();

  std::vector<qint64> ticks;
  QElapsedTimer clock;
  clock.start();
  QObject::connect(window.findChild<QTimer*>(), &QTimer::timeout,
                   [&] { ticks.push_back(clock.elapsed()); });

  std::atomic<bool> stop{false};
  std::atomic<int> ended{0};
  std::vector<std::atomic<uint64_t>> counts(static_cast<size_t>(threads));
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&, t] {
      uint64_t n = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        AppendLog(Format("Worker %d line %llu", t, static_cast<unsigned long long>(n)));
        counts[static_cast<size_t>(t)].store(++n, std::memory_order_relaxed);
      }
      ended.fetch_add(1);
    });
  }
  const qint64 started = clock.elapsed();
  QEventLoop loop;
  QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
  loop.exec();
  const qint64 elapsedMs = clock.elapsed() - started;
  uint64_t total = 0;
  for (const auto& c : counts) total += c.load();
  stop = true;
  // The writers wait for the GUI thread: keep it running until every one has left its loop.
  while (ended.load() < threads) QApplication::processEvents(QEventLoop::AllEvents, 10);
  for (std::thread& w : writers) w.join();

  qint64 maxGap = 0;
  int during = 0;
  for (size_t i = 1; i < ticks.size(); ++i) {
    if (ticks[i] < started || ticks[i] > started + elapsedMs) continue;
    ++during;
    maxGap = std::max(maxGap, ticks[i] - ticks[i - 1]);
  }
  std::printf("log throughput: %d writers, %.2f s: %llu lines, %.0f lines/s\n", threads,
              elapsedMs / 1000.0, static_cast<unsigned long long>(total),
              total * 1000.0 / static_cast<double>(elapsedMs));
  std::printf("window timer: %d ticks of 200 ms (expected %lld), longest gap %lld ms\n", during,
              elapsedMs / 200, static_cast<long long>(maxGap));
}

void MeasureScrolling() {
  CSkinnedListBox list;
  list.resize(345, 262);  // the main window's list
  list.SetBackgroundColors(QColor(192, 192, 192), list.palette().highlight().color());
  QStringList lines;
  for (int i = 0; i < 10000; ++i) {
    lines << QStringLiteral("192.168.1.%1 requests to play a MP3 file :: line %2")
                 .arg(i % 250)
                 .arg(i);
  }
  QElapsedTimer clock;
  clock.start();
  list.AddStrings(lines);
  list.show();
  QApplication::processEvents();
  const qint64 fillMs = clock.elapsed();

  QScrollBar* bar = list.verticalScrollBar();
  std::vector<double> steps;
  for (int value = 0; value <= bar->maximum(); value += bar->pageStep()) {
    QElapsedTimer step;
    step.start();
    bar->setValue(value);
    list.viewport()->repaint();
    steps.push_back(step.nsecsElapsed() / 1e6);
  }
  for (int i = 0; i < 200; ++i) {  // jumps, as a dragged scroll bar makes
    QElapsedTimer step;
    step.start();
    bar->setValue((i * 7919) % (bar->maximum() + 1));
    list.viewport()->repaint();
    steps.push_back(step.nsecsElapsed() / 1e6);
  }
  QElapsedTimer append;
  append.start();
  list.AddString(QStringLiteral("one more line"));
  list.viewport()->repaint();
  const double appendMs = append.nsecsElapsed() / 1e6;

  double sum = 0;
  for (double s : steps) sum += s;
  std::printf(
      "10,000-line list: filled and shown in %lld ms; %zu scroll+repaint steps: mean %.3f ms,"
      " longest %.3f ms; append+repaint %.3f ms\n",
      static_cast<long long>(fillMs), steps.size(), sum / steps.size(),
      *std::max_element(steps.begin(), steps.end()), appendMs);
}

int Main(int argc, char** argv) {
  const int threads = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  QApplication app(argc, argv);
  QTemporaryDir work;
  if (!work.isValid() || !QDir::setCurrent(work.path())) return 1;
  ServerSettings settings = DefaultSettings();
  settings.logLineLimit = 10000;
  ServerSettings scratch;
  LoadOrCreateSettingsFile(kSettingsFileName, &scratch);
  SaveSettingsFile(kSettingsFileName, settings);

  MeasureLogThroughput(threads, seconds);
  MeasureScrolling();
  QDir::setCurrent(QDir::rootPath());
  return 0;
}

}  // namespace
}  // namespace rureza

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  return rureza::Main(argc, argv);
}
