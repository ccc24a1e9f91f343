// ConverterProcess: one running converter (rureza-convert), started with limits on its memory
// and processor time, spoken to over two pipes (requests to its stdin, replies from its stdout),
// writing converted bytes to a file the caller hands it as its descriptor 3. The server is
// multithreaded, so the process is started with posix_spawn (no fork of the server's threads),
// and every other descriptor stays behind (the server opens all of them close-on-exec).
// A process is killed and reaped when its object ends; a reply stream that breaks the protocol
// gets it killed at once.
// Thread safety: one thread sends and receives; Kill() may come from any thread.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "conversion/converter_protocol.h"
#include "platform/file.h"
#include "platform/pipe.h"
#include "platform/status.h"

namespace rureza {

class ConverterProcess {
 public:
  struct Limits {
    uint64_t memoryBytes = 0;  // 0: none
    uint32_t cpuSeconds = 0;   // 0: none
  };

  // Starts program. output (may be invalid: none) becomes the process's descriptor 3, at its
  // current position. Null with *error when the process cannot be started.
  static std::unique_ptr<ConverterProcess> Start(const std::string& program, const Limits& limits,
                                                 const File& output, Status* error);
  ~ConverterProcess();
  ConverterProcess(const ConverterProcess&) = delete;
  ConverterProcess& operator=(const ConverterProcess&) = delete;

  // False when the process no longer takes requests.
  bool Send(const ConverterRequest& request);

  enum class Outcome { kReply, kSilent, kGone };
  // The next reply, waiting up to timeoutMs: kSilent when none came in that time, kGone when the
  // process has ended, closed its replies or said something that is not a reply (it is then
  // killed).
  Outcome Receive(Reply* reply, int timeoutMs);

  // Ends the process now (SIGKILL); its replies then end.
  void Kill();
  // Once gone: how it ended, for a failure text ("killed by signal 11", "exited with 1").
  std::string EndText();

 private:
  ConverterProcess() = default;
  void Reap(bool wait);

  Pipe requests_;  // ours: the write end
  Pipe replies_;   // ours: the read end
  MessageReader reader_;
  std::mutex mutex_;
  pid_t pid_ = -1;       // guarded by mutex_
  bool reaped_ = false;  // guarded by mutex_: the pid may belong to another process by now
  int status_ = 0;       // guarded by mutex_
  bool broken_ = false;
};

}  // namespace rureza
