// Loopback helpers: a recording log sink, free ports, temporary media folders and a fixture that
// runs the real server and checks that every thread and descriptor it took is given back.
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

// Records every line. Lines(): since the last Clear(); AllLines(), Count(), WaitFor...: every
// line since the sink was made or Reset().
class CapturingSink : public LogSink {
 public:
  void AddLine(std::string_view line) override;
  void Clear() override;
  std::vector<std::string> Lines() const { return Locked(lines_); }
  std::vector<std::string> AllLines() const { return Locked(all_); }
  int clears() const { return Locked(clears_); }
  bool WaitForLine(const std::string& text, int timeoutMs = 10000) const;
  bool WaitFor(const std::function<bool(const std::string&)>& pred, int timeoutMs = 10000) const;
  int Count(const std::string& text) const;
  void Reset();

 private:
  template <typename T>
  T Locked(const T& value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value;
  }
  mutable std::mutex mutex_;
  mutable std::condition_variable added_;
  std::vector<std::string> lines_, all_;  // guarded by mutex_
  int clears_ = 0;                        // guarded by mutex_
};

// A base port P with TCP P, TCP P+1 and UDP P+3 free right now.
uint16_t FreeBasePort();

// A temporary folder removed at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  // Writes path()/relative (folders made) and returns its full path.
  std::filesystem::path Write(const std::string& relative, const std::string& content) const;

 private:
  std::filesystem::path path_;
};

// Bytes 0, 1, 2, ... (mod 251), so that a misplaced block shows.
std::string PatternBytes(size_t n, size_t offset = 0);
int OpenDescriptorCount();  // of this process
int TaskCount();            // threads of this process, as the kernel counts them

// Runs the real server on free ports with media folders video/, audio/, photo/; TearDown stops
// it and expects every server thread to end and every descriptor to be closed.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  void Start();  // with settings_
  void Stop();
  uint16_t port() const { return settings_.port; }
  std::filesystem::path video() const { return media_.path() / "video"; }
  std::filesystem::path audio() const { return media_.path() / "audio"; }
  std::filesystem::path photo() const { return media_.path() / "photo"; }

  ServerSettings settings_;
  TempDir media_;
  std::shared_ptr<CapturingSink> log_;
  int baselineDescriptors_ = 0;
};

}  // namespace rureza::test
