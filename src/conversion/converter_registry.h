// ConverterRegistry: every converter process the conversions have running, so that stopping
// them ends each one at once and starts no more. A process leaves the registry before it is
// reaped, so a stop never kills a pid that may belong to another process by then. A converter
// that cannot be started is logged once per cause ("... rureza-convert ...: <why>").
// Thread safety: every method may be called from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "conversion/converter_process.h"

namespace rureza {

class ConverterRegistry {
 public:
  explicit ConverterRegistry(std::string program) : program_(std::move(program)) {}

  // Untracks a process before it is deleted (and reaped).
  struct Untrack {
    ConverterRegistry* registry = nullptr;
    void operator()(ConverterProcess* process) const;
  };
  using Process = std::unique_ptr<ConverterProcess, Untrack>;

  // Starts a converter (see ConverterProcess::Start); null with *failure when it cannot be, or
  // the conversions stop.
  Process Start(const ConverterProcess::Limits& limits, bool output, std::string* failure);

  // Ends every converter now; from now on none starts.
  void Stop();
  bool stopping() const { return stopping_.load(); }
  const std::string& program() const { return program_; }

  // Whether the program can be started at all: empty, or one log line's worth on why not.
  static std::string Unusable(const std::string& program);

 private:
  const std::string program_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::set<ConverterProcess*> processes_;  // guarded by mutex_: every one alive
  std::string lastFailure_;                // guarded by mutex_: logged already
};

}  // namespace rureza
