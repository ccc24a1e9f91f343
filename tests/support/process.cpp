#include "support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "support/fixture.h"

extern char** environ;

namespace rureza::test {

ChildProcess::ChildProcess(const std::string& program, std::vector<std::string> args,
                           const std::filesystem::path& dir)
    : dir_(dir) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, (dir_ / "out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
  args.insert(args.begin(), program);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // A server that converts keeps its cache in the child's folder, never in the user's.
  std::string cache = "XDG_CACHE_HOME=" + (dir_ / "cache").string();
  std::vector<char*> env = {cache.data()};
  for (char** e = environ; *e; ++e) {
    if (!std::string_view(*e).starts_with("XDG_CACHE_HOME=") &&
        !std::string_view(*e).starts_with("CACHE_DIRECTORY=")) {
      env.push_back(*e);
    }
  }
  env.push_back(nullptr);
  EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), env.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
}

bool ChildProcess::WaitForLine(const std::string& text, int timeoutMs) {
  return WaitUntil(
      [&] {
        std::istringstream out(Output());
        size_t i = 0;
        for (std::string line; std::getline(out, line); ++i) {
          if (i >= found_ && line == text) {
            found_ = i + 1;
            return true;
          }
        }
        return false;
      },
      timeoutMs);
}

int ChildProcess::Count(const std::string& text) const {
  std::istringstream out(Output());
  int n = 0;
  for (std::string line; std::getline(out, line);) n += line == text;
  return n;
}

int ChildProcess::Wait(int timeoutMs) {
  int status = 0;
  if (pid_ < 0 ||
      !WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs)) {
    return -1;
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ChildProcess::Output(const char* name) const {
  std::ifstream in(dir_ / name);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void ChildProcess::Signal(int signal) const {
  if (pid_ > 0) ::kill(pid_, signal);
}

}  // namespace rureza::test
