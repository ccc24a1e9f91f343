// ConverterProcess: one running converter (rureza-convert), started with limits on its memory
// and processor time and below the server's priority. Requests go to its descriptor 0, a local
// socket that carries each request with the descriptor of the file it is about (the server
// opened and checked it; the converter never opens a path); replies come from its stdout; the
// converted bytes, for requests that make some, come through a pipe that is its descriptor 3.
// The server is multithreaded, so the process is started with posix_spawn (no fork of the
// server's threads), with nothing but these descriptors and a minimal environment. It ends when
// its request socket closes (the object ends) or it is killed; it is reaped when the object
// ends. A reply stream that breaks the protocol gets it killed at once.
// Thread safety: one thread sends and receives; Kill() may come from any thread.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "conversion/converter_protocol.h"
#include "platform/message_channel.h"
#include "platform/pipe.h"
#include "platform/status.h"

namespace rureza {

class ConverterProcess {
 public:
  struct Limits {
    uint64_t memoryBytes = 0;  // 0: none
    uint32_t cpuSeconds = 0;   // 0: none
    int niceness = 10;         // added to the server's
  };

  // Starts program; with output, the converted bytes come through outputFd(). Null with *error
  // when the process cannot be started.
  static std::unique_ptr<ConverterProcess> Start(const std::string& program, const Limits& limits,
                                                 bool output, Status* error);
  ~ConverterProcess();
  ConverterProcess(const ConverterProcess&) = delete;
  ConverterProcess& operator=(const ConverterProcess&) = delete;

  // Sends request with the descriptors it is about (the converter gets copies). False when the
  // process no longer takes requests.
  bool Send(const ConverterRequest& request, const std::vector<int>& descriptors);

  enum class Outcome { kReply, kSilent, kGone };
  // The next reply, waiting up to timeoutMs (0: only what has come): kSilent when none came in
  // that time, kGone when the process has ended, closed its replies or said something that is
  // not a reply (it is then killed). A notice (the converter runs without its filter) is logged
  // once per process and not returned.
  Outcome Receive(Reply* reply, int timeoutMs);
  int replyFd() const { return replies_.readFd(); }

  // The read end of the converted bytes; -1 without output. Reads never block: -1 with EAGAIN
  // when nothing has come, 0 once the converter closed it (it ended).
  int outputFd() const { return output_.readFd(); }
  ssize_t ReadOutput(void* buffer, size_t length);

  pid_t pid() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pid_;
  }
  // The processor time it has used so far (all its threads), in clock ticks; 0 once gone.
  uint64_t CpuTicks() const;
  // Ends the process now (SIGKILL); its replies then end.
  void Kill();
  // Once gone: how it ended, for a failure text ("killed by signal 11", "exited with 1").
  std::string EndText();
  // True when it ended by a signal or an exit it did not choose (a crash, SIGKILL, the processor
  // time limit): worth one more try.
  bool Died();

 private:
  ConverterProcess() = default;
  void Reap(bool wait);

  MessageChannel requests_;  // ours
  Pipe replies_;             // ours: the read end
  Pipe output_;              // ours: the read end; invalid without output
  MessageReader reader_;
  mutable std::mutex mutex_;
  pid_t pid_ = -1;       // guarded by mutex_
  bool reaped_ = false;  // guarded by mutex_: the pid may belong to another process by now
  int status_ = 0;       // guarded by mutex_
  bool broken_ = false;
};

}  // namespace rureza
