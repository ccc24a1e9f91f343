#include "support/reliability.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <utility>

namespace rureza::test {
namespace {

struct Notes {
  std::mutex mutex;
  bool recordInputs = false;                                 // guarded by mutex
  std::map<std::string, int64_t> inputs;                     // guarded by mutex
  std::set<std::string> faults;                              // guarded by mutex
  std::vector<std::pair<std::string, std::string>> figures;  // guarded by mutex
};

Notes& TheNotes() {
  static Notes notes;
  return notes;
}

// One tab-separated line, appended whole (parallel test processes never mix lines).
void Append(const char* file, std::initializer_list<std::string_view> fields) {
  const char* dir = std::getenv("RUREZA_RELIABILITY_DIR");
  if (!dir || !*dir) return;
  std::string line;
  for (std::string_view field : fields) {
    if (!line.empty()) line += '\t';
    // Tabs and line ends would break the columns.
    for (char c : field) line += c == '\t' || c == '\n' || c == '\r' ? ' ' : c;
  }
  line += '\n';
  int fd = ::open((std::string(dir) + "/" + file).c_str(),
                  O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
}

class Writer : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo& info) override {
    Notes& notes = TheNotes();
    std::lock_guard<std::mutex> lock(notes.mutex);
    const std::string test = std::string(info.test_suite_name()) + "." + info.name();
    const char* outcome = info.result()->Passed() ? "passed" : "failed";
    for (const auto& [input, times] : notes.inputs) {
      Append("inputs.tsv", {test, input, std::to_string(times)});
    }
    for (const std::string& fault : notes.faults) Append("faults.tsv", {test, fault, outcome});
    for (const auto& [name, value] : notes.figures) Append("load.tsv", {test, name, value});
    notes.recordInputs = false;
    notes.inputs.clear();
    notes.faults.clear();
    notes.figures.clear();
  }
};

// Installed before main: the test binaries use GoogleTest's own main.
const bool kInstalled = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new Writer);
  return true;
}();

}  // namespace

void RecordInputs(bool on) {
  std::lock_guard<std::mutex> lock(TheNotes().mutex);
  TheNotes().recordInputs = on;
}

void NoteInput(std::string_view input, int64_t times) {
  std::lock_guard<std::mutex> lock(TheNotes().mutex);
  if (TheNotes().recordInputs) TheNotes().inputs[std::string(input)] += times;
}

void NoteFault(std::string_view fault) {
  std::lock_guard<std::mutex> lock(TheNotes().mutex);
  TheNotes().faults.emplace(fault);
}

void NoteFigure(std::string_view name, std::string_view value) {
  std::lock_guard<std::mutex> lock(TheNotes().mutex);
  TheNotes().figures.emplace_back(name, value);
}

std::string Printable(std::string_view bytes, size_t maxLength) {
  std::string text;
  for (unsigned char c : bytes) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
    text += c == '\\'               ? std::string("\\\\")
            : c >= 0x20 && c < 0x7f ? std::string(1, static_cast<char>(c))
                                    : std::string(escaped);
    if (text.size() >= maxLength) return text + "...";
  }
  return text;
}

}  // namespace rureza::test
