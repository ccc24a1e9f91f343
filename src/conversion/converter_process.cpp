#include "conversion/converter_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/poll.h"
#include "platform/spawn.h"
#include "server/activity_log.h"

namespace rureza {
namespace {

// glibc's malloc keeps an arena per thread (up to eight per core), each growing on its own;
// two keep the converter's memory near what it uses.
const std::vector<std::string> kConverterEnv = {"MALLOC_ARENA_MAX=2", "VIPS_WARNING=0"};
// Converters run below the server: on a busy machine its threads, which take the adapters'
// commands and feed their streams, come first; a song converts many times faster than it plays.
constexpr int kConverterNiceness = 10;

}  // namespace

std::unique_ptr<ConverterProcess> ConverterProcess::Start(const std::string& program,
                                                          const Limits& limits, const File& output,
                                                          Status* error) {
  std::unique_ptr<ConverterProcess> process(new ConverterProcess);
  process->requests_ = Pipe::New(error);
  process->replies_ = Pipe::New(error);
  if (!process->requests_.valid() || !process->replies_.valid()) return nullptr;
  const std::vector<int> fds = {process->requests_.readFd(), process->replies_.writeFd(),
                                STDERR_FILENO, output.valid() ? output.fd() : -1};
  const pid_t pid = SpawnProcess(program, {program, std::to_string(::getpid())},
                                 HelperEnvironment(kConverterEnv), fds, error);
  if (pid < 0) return nullptr;
  process->pid_ = pid;
  // The child has its ends; ours are the others.
  process->requests_.CloseRead();
  process->replies_.CloseWrite();
  // It does nothing until the first request, so the limits hold before any file is decoded.
  if (!LimitProcess(pid, limits.memoryBytes, limits.cpuSeconds, kConverterNiceness)) {
    if (error) *error = Status::FromErrno(errno);
    return nullptr;  // the destructor ends it
  }
  return process;
}

ConverterProcess::~ConverterProcess() {
  requests_.Close();
  replies_.Close();
  Reap(true);
}

bool ConverterProcess::Send(const ConverterRequest& request) {
  const std::string bytes = EncodeRequest(request);
  return !broken_ && requests_.WriteAll(bytes.data(), bytes.size());
}

ConverterProcess::Outcome ConverterProcess::Receive(Reply* reply, int timeoutMs) {
  const uint32_t start = TickCountMs();
  for (;;) {
    uint8_t kind;
    std::string payload;
    if (!broken_ && reader_.Next(&kind, &payload)) {
      if (DecodeReply(kind, payload, reply) && reply->kind == ReplyKind::kNotice) {
        // About the converter, not an answer: said once per server process.
        static std::atomic<bool> noticed{false};
        if (!noticed.exchange(true)) AppendLogUncounted(reply->text);
        continue;
      }
      if (DecodeReply(kind, payload, reply)) return Outcome::kReply;
      broken_ = true;
    }
    if (broken_ || reader_.broken()) {
      broken_ = true;
      Kill();
      return Outcome::kGone;
    }
    const int waited = static_cast<int>(TickCountMs() - start);
    if (waited >= timeoutMs) return Outcome::kSilent;
    if (!WaitReadable(replies_.readFd(), timeoutMs - waited)) continue;
    char buffer[4096];
    const ssize_t n = replies_.Read(buffer, sizeof buffer);
    if (n <= 0) {
      broken_ = true;
      Kill();  // it closed its replies: whatever it still does, it is of no use
      return Outcome::kGone;
    }
    reader_.Add(std::string_view(buffer, static_cast<size_t>(n)));
  }
}

void ConverterProcess::Kill() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL);
}

void ConverterProcess::Reap(bool wait) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pid_ <= 0 || reaped_) return;
  int status = 0;
  pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done == 0 && wait) {
    ::kill(pid_, SIGKILL);
    do {
      done = ::waitpid(pid_, &status, 0);
    } while (done < 0 && errno == EINTR);
  }
  if (done == pid_ || (done < 0 && errno == ECHILD)) {
    reaped_ = true;
    status_ = status;
  }
}

std::string ConverterProcess::EndText() {
  Reap(true);
  std::lock_guard<std::mutex> lock(mutex_);
  if (WIFSIGNALED(status_)) {
    const int signal = WTERMSIG(status_);
    if (signal == SIGXCPU) return "it ran out of processor time";
    return std::string("it was ended by signal ") + std::to_string(signal) + " (" +
           ::strsignal(signal) + ")";
  }
  return "it exited with " + std::to_string(WEXITSTATUS(status_));
}

}  // namespace rureza
