#include "server/activity_log.h"

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>

#include "platform/text.h"
#include "settings/server_settings.h"

namespace rureza {
namespace {

std::mutex g_sinkMutex;
std::shared_ptr<LogSink> g_sink;  // guarded by g_sinkMutex

std::mutex g_countMutex;
int16_t g_lineCount = 0;  // guarded by g_countMutex

std::mutex g_recentMutex;
std::deque<RecentLogLine> g_recent;  // guarded by g_recentMutex; at most kRecentLogLines

void KeepRecent(const std::string& line) {
  RecentLogLine recent{std::time(nullptr), line};
  std::lock_guard<std::mutex> lock(g_recentMutex);
  if (g_recent.size() == kRecentLogLines) g_recent.pop_front();
  g_recent.push_back(std::move(recent));
}

std::shared_ptr<LogSink> CurrentSink() {
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  return g_sink;
}

// The sink is called without any lock held: a sink that hands lines to its own thread must
// never wait on a lock that thread might want for an append of its own.
// Every line passes here, so no name from a request or from disk can add a line of its own,
// send escape sequences to a terminal or turn the line around: what is not printable text is
// shown as \xNN. The fixed texts are printable and stay as they are.
void AddToSink(std::string_view raw) {
  const std::string shown = ShowableText(raw);
  const std::string_view line = shown;
  KeepRecent(shown);
  if (auto sink = CurrentSink()) {
    sink->AddLine(line);
  } else {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  }
}

}  // namespace

void SetLogSink(std::shared_ptr<LogSink> sink) {
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  g_sink = std::move(sink);
}

void AppendLog(std::string_view line) {
  AddToSink(line);
  bool empty = false;
  {
    std::lock_guard<std::mutex> lock(g_countMutex);
    g_lineCount = static_cast<int16_t>(g_lineCount + 1);
    if (g_lineCount >= CurrentLogLineLimit()) {
      g_lineCount = 0;
      empty = true;
    }
  }
  if (empty) {
    if (auto sink = CurrentSink()) sink->Clear();
  }
}

void AppendLogUncounted(std::string_view line) { AddToSink(line); }

int16_t LogLineCount() {
  std::lock_guard<std::mutex> lock(g_countMutex);
  return g_lineCount;
}

std::vector<RecentLogLine> RecentLogLines() {
  std::lock_guard<std::mutex> lock(g_recentMutex);
  return {g_recent.begin(), g_recent.end()};
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length));
    std::vsnprintf(text.data(), text.size() + 1, format, args);
  }
  va_end(args);
  return text;
}

}  // namespace rureza
