// rureza-server as a process: its options, its stdout lines, SIGHUP reload and SIGTERM exit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "app/server_options.h"
#include "settings/settings_file.h"
#include "support/adapter_client.h"
#include "support/test_server.h"

extern char** environ;

namespace rureza {
namespace {

using test::AdapterClient;

TEST(ServerOptionsTest, ValuesTakeTheSetupRanges) {
  std::string error;
  auto options = ParseServerOptions(
      {"--port", "0", "--clients=100", "--log-lines", "30", "--video", "/v", "--firmware=/f.bin"},
      &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->port, 0);
  EXPECT_EQ(options->clients, 100);
  EXPECT_EQ(options->logLines, 30);
  EXPECT_EQ(options->video, "/v");
  EXPECT_EQ(options->firmware, "/f.bin");
  EXPECT_EQ(options->settingsPath, ".//sv.dat");
  for (std::vector<std::string> bad :
       std::vector<std::vector<std::string>>{{"--port", "70000"},
                                             {"--port", "-1"},
                                             {"--port", "12a"},
                                             {"--port"},
                                             {"--clients", "0"},
                                             {"--clients", "101"},
                                             {"--log-lines", "29"},
                                             {"--log-lines", "10001"},
                                             {"--bogus"},
                                             {"--help=yes"},
                                             {"--settings", ""},
                                             {"--video", std::string(255, 'v')}}) {
    EXPECT_FALSE(ParseServerOptions(bad, &error)) << bad[0];
  }
}

TEST(ServerOptionsTest, OverridesReplaceOnlyWhatIsGiven) {
  ServerSettings s;
  s.port = 1;
  SetPathText(&s.audioFolder, "/a");
  std::string error;
  ApplyOverrides(*ParseServerOptions({"--clients", "7", "--photo", "/p"}, &error), &s);
  EXPECT_EQ(s.port, 1);
  EXPECT_EQ(s.clientLimit, 7);
  EXPECT_EQ(PathText(s.audioFolder), "/a");
  EXPECT_EQ(PathText(s.photoFolder), "/p");
}

// A child process with its stdout and stderr read line by line.
class ServerProcess {
 public:
  explicit ServerProcess(const std::vector<std::string>& args, const std::string& cwd) {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> all = {RUREZA_SERVER_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(cwd);
    EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    std::filesystem::current_path(home);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }

  // Waits for a stdout line equal to text; every line read is kept in lines().
  bool WaitForLine(const std::string& text, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      for (size_t i = checked_; i < lines_.size(); ++i) {
        if (lines_[i] == text) {
          checked_ = i + 1;
          return true;
        }
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(out_, &pending_, static_cast<int>(left.count()))) {
        return false;
      }
      size_t end;
      while ((end = pending_.find('\n')) != std::string::npos) {
        lines_.push_back(pending_.substr(0, end));
        pending_.erase(0, end + 1);
      }
    }
  }

  // Exit code, or -1 when it has not exited within timeoutMs.
  int Wait(int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      ::usleep(5000);
    }
    return -1;
  }

  std::string Stderr() {
    std::string text;
    while (ReadSome(err_, &text, 200)) {
    }
    return text;
  }

  void Signal(int signal) { ::kill(pid_, signal); }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  static bool ReadSome(int fd, std::string* into, int timeoutMs) {
    pollfd item{fd, POLLIN, 0};
    if (::poll(&item, 1, timeoutMs) != 1) return false;
    char buffer[4096];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    into->append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::vector<std::string> lines_;
  std::string pending_;
  size_t checked_ = 0;
};

TEST(FrontEndTest, ServesLogsReloadsAndStopsCleanly) {
  test::TempDir dir;
  uint16_t port = test::FreeBasePort();
  ServerProcess server({"--port", std::to_string(port), "--clients", "3"}, dir.path().string());
  ASSERT_TRUE(server.WaitForLine("Start Running Media Server..."));
  ASSERT_TRUE(std::filesystem::exists(dir.path() / "sv.dat"));  // created with defaults

  auto serveOne = [&] {
    AdapterClient client;
    for (int i = 0; i < 200 && !client.Connect(port, 1000); ++i) ::usleep(20000);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.SendBlock("<2"));
    EXPECT_TRUE(client.ClosedWithoutData());
    EXPECT_TRUE(server.WaitForLine("New connection from 127.0.0.1"));
    EXPECT_TRUE(server.WaitForLine("Unknown command"));
    EXPECT_TRUE(server.WaitForLine("127.0.0.1 is leaving......"));
  };
  serveOne();
  for (int i = 0; i < 200 && !test::Probe(port + 3, "VE520", 50); ++i) {
  }
  EXPECT_EQ(test::Probe(port + 3, "VE520", 5000), "VE520");

  server.Signal(SIGHUP);
  ASSERT_TRUE(server.WaitForLine("Stop Running Media Server..."));
  ASSERT_TRUE(server.WaitForLine("Start Running Media Server..."));
  // The port override still applies after the reload (the file says 4567).
  serveOne();

  server.Signal(SIGTERM);
  EXPECT_TRUE(server.WaitForLine("Stop Running Media Server..."));
  EXPECT_EQ(server.Wait(), 0);
  ServerSettings saved;
  ASSERT_TRUE(LoadSettingsFile((dir.path() / "sv.dat").string(), &saved).ok());
  EXPECT_EQ(saved.port, 4567);  // overrides are never saved
}

TEST(FrontEndTest, BadUsageAndUnreadableSettings) {
  test::TempDir dir;
  ServerProcess bad({"--port", "70000"}, dir.path().string());
  EXPECT_EQ(bad.Wait(), 2);
  EXPECT_NE(bad.Stderr().find("Usage: rureza-server"), std::string::npos);

  std::string settings = dir.Write("ro.dat", std::string(1026, '\0')).string();
  ::chmod(settings.c_str(), 0444);
  ServerProcess unreadable({"--settings", settings}, dir.path().string());
  EXPECT_EQ(unreadable.Wait(), 1);
  EXPECT_NE(unreadable.Stderr().find("Permission denied"), std::string::npos);

  ServerProcess help({"--help"}, dir.path().string());
  EXPECT_TRUE(help.WaitForLine("Usage: rureza-server [OPTION]..."));
  EXPECT_EQ(help.Wait(), 0);
}

}  // namespace
}  // namespace rureza
