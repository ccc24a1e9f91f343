// The activity log: the one channel through which every thread reports what it does. A line
// goes to the registered sink (the console's log list, or stdout for the headless server);
// counted lines also advance the line count, and the line that reaches the log-line limit
// empties the sink. A line reaches the sink as printable text: control bytes, bytes that are no
// UTF-8 and format characters (bidirectional overrides, ...) are written as \xNN.
// Thread safety: AppendLog and AppendLogUncounted may be called from any thread and return
// once the sink has taken the line. With no sink registered, lines go to stderr.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace rureza {

class LogSink {
 public:
  virtual ~LogSink() = default;
  // Adds line as the new last line. May block until the sink's own thread has added it.
  virtual void AddLine(std::string_view line) = 0;
  // Empties the list.
  virtual void Clear() = 0;
};

// Registers the sink that takes every line from now on (nullptr: stderr). The previous sink
// may still finish lines it was given before this call.
void SetLogSink(std::shared_ptr<LogSink> sink);

// Adds a line and counts it towards the log-line limit.
void AppendLog(std::string_view line);
// Adds a line without touching the line count.
void AppendLogUncounted(std::string_view line);

// Counted lines since the sink was last emptied by the limit.
int16_t LogLineCount();

// The last lines of the log as the sink was given them (escaped), oldest first, each with the
// time it was added, whatever the sink: the status page shows them. Emptying at the log-line
// limit leaves them.
inline constexpr size_t kRecentLogLines = 100;
struct RecentLogLine {
  std::time_t time = 0;
  std::string text;
};
std::vector<RecentLogLine> RecentLogLines();

// printf-style formatting into a string of whatever length the text needs.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace rureza
