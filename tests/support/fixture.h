// Test support on loopback: bounded waits, a recording log sink, free ports, temporary folders,
// media bytes that show where they came from, and a fixture that runs the real server and
// checks at the end that every thread and descriptor it took is given back.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/exchange.h"
#include "server/activity_log.h"
#include "settings/server_settings.h"

namespace rureza::test {

// Loops run a tenth as often where the sanitizers make every call slow.
#ifdef RUREZA_SANITIZED
inline constexpr int kSlowdown = 10;
#else
inline constexpr int kSlowdown = 1;
#endif
inline constexpr size_t kBlock = 32768;
// For reads of whole streams, which take a while under the sanitizers on a loaded machine.
inline constexpr int kLongReadMs = 60000;

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
// n bytes; the aligned 4-byte word at offset w holds w, little-endian.
std::string OffsetBytes(size_t n);
// Creates (or cuts) path as a sparse file of size bytes.
void MakeSparseFile(const std::filesystem::path& path, uint64_t size);
// Reads until nothing has arrived for quietMs or the connection ends.
std::string ReadUntilQuiet(AdapterConnection& connection, int quietMs = 300);
// The 64-bit FNV-1a digest of bytes in 16 hex digits, as rureza-probe's load prints it.
std::string Fnv1a64(const std::string& bytes);
int OpenDescriptorCount();  // of this process
int TaskCount();            // threads of this process, as the kernel counts them
int32_t SendCalls();        // the server's counted send calls

// Runs the real server on free ports with media folders video/, audio/, photo/ (client limit
// 10). TearDown stops it, puts back injected faults, and expects every server thread to end
// and every descriptor to be closed.
class ServerTest : public ::testing::Test {
 protected:
  static constexpr int kRunThreads = 2;  // listener and discovery

  void SetUp() override;
  void TearDown() override;
  void Start();  // with settings_
  void Stop();
  uint16_t port() const { return settings_.port; }
  std::filesystem::path video() const { return media_.path() / "video"; }
  std::filesystem::path audio() const { return media_.path() / "audio"; }
  std::filesystem::path photo() const { return media_.path() / "photo"; }
  // Writes a media file (relative to the media tree) and returns its content.
  std::string Media(const std::string& relative, const std::string& content) const {
    media_.Write(relative, content);
    return content;
  }

  // A connection to the request port that has sent block (text, zero bytes up to 256).
  AdapterConnection Send(std::string_view block);
  // Asks to play name with media type digit type.
  AdapterConnection Play(char type, const std::string& name) {
    return Send(std::string("<3") + type + name);
  }
  AdapterConnection Control();
  // Streams through their handshakes: AVI with the adapter's probe offset, movie end and movie
  // start (finished unless asked not to: then it has just read the probe block), and MPEG
  // asking for the end with scale, the file's length known from the listing.
  AdapterConnection PlayAvi(const std::string& name, const std::string& probe,
                            const std::string& end, const std::string& start);
  AdapterConnection PlayMpeg(const std::string& name, const std::string& scale);
  // raw on a new connection; the reply up to the server's close, once its client has gone.
  std::optional<std::string> Exchange(std::string_view raw);
  // Waits until exactly n server threads are left.
  bool WaitForThreads(int n);

  ServerSettings settings_;
  TempDir media_;
  std::shared_ptr<CapturingSink> log_;
  int baselineDescriptors_ = 0;
};

}  // namespace rureza::test
