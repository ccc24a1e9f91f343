// Helpers for tests that run the real server on loopback: a log sink that records lines, free
// base ports, a temporary media tree and a fixture that starts and stops the server and checks
// that every thread it started has ended.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/activity_log.h"
#include "settings/server_settings.h"

namespace rureza::test {

// Polls pred every few milliseconds until it holds or timeoutMs passes.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 10000);

// Records every line; Clear() empties the record as the console's list would be emptied.
class CapturingSink : public LogSink {
 public:
  void AddLine(std::string_view line) override;
  void Clear() override;

  std::vector<std::string> Lines() const;     // since the last Clear()
  std::vector<std::string> AllLines() const;  // every line ever added
  int clears() const;
  // Waits until a line equal to text has been added (since the sink was made).
  bool WaitForLine(const std::string& text, int timeoutMs = 10000) const;
  // Waits until some line satisfies pred.
  bool WaitFor(const std::function<bool(const std::string&)>& pred, int timeoutMs = 10000) const;
  // How many lines equal to text have been added.
  int Count(const std::string& text) const;
  // Forgets everything.
  void Reset();

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable added_;
  std::vector<std::string> lines_;  // guarded by mutex_
  std::vector<std::string> all_;    // guarded by mutex_
  int clears_ = 0;                  // guarded by mutex_
};

// A base port P with TCP P, TCP P+1 and UDP P+3 free on this machine right now.
uint16_t FreeBasePort();

// A temporary folder removed at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  // Writes content to path()/relative (folders created) and returns the full path.
  std::filesystem::path Write(const std::string& relative, const std::string& content) const;

 private:
  std::filesystem::path path_;
};

// Bytes 0, 1, 2, ... (mod 251) so that a misplaced block shows.
std::string PatternBytes(size_t n, size_t offset = 0);

// Open descriptors of this process.
int OpenDescriptorCount();
// Threads of this process, as the kernel counts them (/proc/self/task).
int TaskCount();

// Starts the real server on free ports with media folders video/, audio/, photo/ under a
// temporary folder; TearDown stops it and expects every server thread to end.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Settings used by StartWith/Start; adjust before Start().
  ServerSettings settings_;
  uint16_t port() const { return settings_.port; }
  void Start();
  void Stop();

  std::filesystem::path video() const { return media_.path() / "video"; }
  std::filesystem::path audio() const { return media_.path() / "audio"; }
  std::filesystem::path photo() const { return media_.path() / "photo"; }

  TempDir media_;
  std::shared_ptr<CapturingSink> log_;
  int baselineDescriptors_ = 0;
};

}  // namespace rureza::test
