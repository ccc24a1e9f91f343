#include "conversion/converter_registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "conversion/conversion_stats.h"
#include "server/activity_log.h"

namespace rureza {

void ConverterRegistry::Untrack::operator()(ConverterProcess* process) const {
  if (process != nullptr && process->outputFd() >= 0) {
    ProcessConversionStats().running.fetch_sub(1, std::memory_order_relaxed);
  }
  if (registry != nullptr) {
    std::lock_guard<std::mutex> lock(registry->mutex_);
    registry->processes_.erase(process);
  }
  delete process;
}

ConverterRegistry::Process ConverterRegistry::Start(const ConverterProcess::Limits& limits,
                                                    bool output, std::string* failure) {
  if (stopping()) {
    *failure = "the server stops";
    return Process(nullptr, Untrack{this});
  }
  Status status;
  std::unique_ptr<ConverterProcess> started =
      ConverterProcess::Start(program_, limits, output, &status);
  if (!started) {
    *failure = "the converter " + program_ + " cannot be started: " + status.text;
    std::lock_guard<std::mutex> lock(mutex_);
    // Said once per cause, not at every play that meets it.
    if (*failure != lastFailure_) {
      lastFailure_ = *failure;
      AppendLogUncounted("Conversion fails: " + *failure);
    }
    return Process(nullptr, Untrack{this});
  }
  if (output) {
    ProcessConversionStats().started.fetch_add(1, std::memory_order_relaxed);
    ProcessConversionStats().running.fetch_add(1, std::memory_order_relaxed);
  }
  Process process(started.release(), Untrack{this});
  std::lock_guard<std::mutex> lock(mutex_);
  processes_.insert(process.get());
  // A Stop() that came meanwhile has not seen it.
  if (stopping()) process->Kill();
  return process;
}

void ConverterRegistry::Stop() {
  stopping_.store(true);
  std::lock_guard<std::mutex> lock(mutex_);
  for (ConverterProcess* process : processes_) process->Kill();
}

std::string ConverterRegistry::Unusable(const std::string& program) {
  struct stat info {};
  if (::stat(program.c_str(), &info) != 0) return program + ": " + ErrorText(errno);
  if (!S_ISREG(info.st_mode)) return program + ": not a program";
  if (::access(program.c_str(), X_OK) != 0) return program + ": " + ErrorText(errno);
  return {};
}

}  // namespace rureza
