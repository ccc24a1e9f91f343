#include "conversion/converter_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/clock.h"
#include "platform/poll.h"
#include "platform/spawn.h"
#include "server/activity_log.h"

namespace rureza {
namespace {

// glibc's malloc keeps an arena per thread (up to eight per core), each growing on its own;
// two keep the converter's memory near what it uses.
const std::vector<std::string> kConverterEnv = {"MALLOC_ARENA_MAX=2", "VIPS_WARNING=0"};
// What the output pipe holds while the server does not read it: a few blocks of a stream.
constexpr uint32_t kOutputPipeBytes = 256 * 1024;

}  // namespace

std::unique_ptr<ConverterProcess> ConverterProcess::Start(const std::string& program,
                                                          const Limits& limits, bool output,
                                                          Status* error) {
  std::unique_ptr<ConverterProcess> process(new ConverterProcess);
  auto [ours, theirs] = MessageChannel::NewPair(error);
  process->requests_ = std::move(ours);
  process->replies_ = Pipe::New(error);
  if (output) process->output_ = Pipe::New(error);
  if (!process->requests_.valid() || !process->replies_.valid() ||
      (output && !process->output_.valid())) {
    return nullptr;
  }
  // Room for a burst of converted bytes while the server is busy elsewhere.
  if (output) process->output_.SetCapacity(kOutputPipeBytes);
  const std::vector<int> fds = {theirs.fd(), process->replies_.writeFd(), STDERR_FILENO,
                                output ? process->output_.writeFd() : -1};
  const pid_t pid = SpawnProcess(program, {program, std::to_string(::getpid())},
                                 HelperEnvironment(kConverterEnv), fds, error);
  if (pid < 0) return nullptr;
  {
    std::lock_guard<std::mutex> lock(process->mutex_);
    process->pid_ = pid;
  }
  // The child has its ends; ours are the others.
  theirs.Close();
  process->replies_.CloseWrite();
  if (output) {
    process->output_.CloseWrite();
    ::fcntl(process->output_.readFd(), F_SETFL, O_NONBLOCK);
  }
  // It does nothing until the first request, so the limits hold before any file is decoded.
  if (!LimitProcess(pid, limits.memoryBytes, limits.cpuSeconds, limits.niceness)) {
    if (error) *error = Status::FromErrno(errno);
    return nullptr;  // the destructor ends it
  }
  return process;
}

ConverterProcess::~ConverterProcess() {
  requests_.Close();
  replies_.Close();
  output_.Close();
  Reap(true);
}

bool ConverterProcess::Send(const ConverterRequest& request, const std::vector<int>& descriptors) {
  return !broken_ && requests_.Send(EncodeRequest(request), descriptors);
}

ssize_t ConverterProcess::ReadOutput(void* buffer, size_t length) {
  ssize_t n;
  do {
    n = ::read(output_.readFd(), buffer, length);
  } while (n < 0 && errno == EINTR);
  return n;
}

uint64_t ConverterProcess::CpuTicks() const {
  pid_t pid;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pid_ <= 0 || reaped_) return 0;
    pid = pid_;
  }
  // Fields 14 and 15 (utime, stime) follow the command's closing parenthesis.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const size_t paren = text.rfind(')');
  if (paren == std::string::npos) return 0;
  std::istringstream fields(text.substr(paren + 2));
  std::string field;
  uint64_t utime = 0, stime = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (index == 15) {
      stime = std::strtoull(field.c_str(), nullptr, 10);
      break;
    }
  }
  return utime + stime;
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
    if (!WaitReadable(replies_.readFd(), std::max(timeoutMs - waited, 0))) {
      if (waited >= timeoutMs) return Outcome::kSilent;
      continue;
    }
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

bool ConverterProcess::Died() {
  EndText();  // reaped
  std::lock_guard<std::mutex> lock(mutex_);
  return reaped_ && (WIFSIGNALED(status_) || (WIFEXITED(status_) && WEXITSTATUS(status_) != 0));
}

}  // namespace rureza
