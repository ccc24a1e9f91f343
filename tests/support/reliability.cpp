#include "support/reliability.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace rureza::test {
namespace {

std::atomic<bool> g_recordInputs{false};

// One tab-separated line, the running test's name first, appended whole (parallel test
// processes never mix lines).
void Append(const char* file, std::initializer_list<std::string_view> fields) {
  const char* dir = std::getenv("RUREZA_RELIABILITY_DIR");
  if (!dir || !*dir) return;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string line = test ? std::string(test->test_suite_name()) + "." + test->name() : "-";
  for (std::string_view field : fields) {
    line += '\t';
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

}  // namespace

void RecordInputs(bool on) { g_recordInputs = on; }

void NoteInput(std::string_view input, int64_t times) {
  if (g_recordInputs) Append("inputs.tsv", {input, std::to_string(times)});
}

void NoteFault(std::string_view fault) { Append("faults.tsv", {fault}); }

void NoteFigure(std::string_view name, std::string_view value) {
  Append("load.tsv", {name, value});
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
