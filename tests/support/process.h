// One of our programs run as a child process in a folder of the test's, its stdout and stderr
// kept in files there ("out", "err"); killed at the end if it still runs.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace rureza::test {

class ChildProcess {
 public:
  ChildProcess(const std::string& program, std::vector<std::string> args,
               const std::filesystem::path& dir);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits for a stdout line equal to text, after the last line found this way.
  bool WaitForLine(const std::string& text, int timeoutMs = 10000);
  // The stdout lines equal to text.
  int Count(const std::string& text) const;
  // The exit code (128 + the signal when killed), or -1 when it has not exited within timeoutMs.
  int Wait(int timeoutMs = 10000);
  std::string Output(const char* name = "out") const;
  void Signal(int signal) const;
  pid_t pid() const { return pid_; }

 private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
  size_t found_ = 0;
};

}  // namespace rureza::test
