// rureza-server as a process: its options, its stdout lines, SIGHUP reload and SIGTERM exit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "app/server_options.h"
#include "settings/settings_file.h"
#include "support/adapter_client.h"
#include "support/test_server.h"

extern char** environ;

namespace rureza {
namespace {

TEST(ServerOptionsTest, ValuesTakeTheSetupRangesAndOverrideOnlyWhatIsGiven) {
  std::string error;
  auto options = ParseServerOptions(
      {"--port", "0", "--clients=100", "--log-lines", "30", "--photo", "/p", "--firmware=/f.bin"},
      &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->settingsPath, ".//sv.dat");
  ServerSettings s;
  s.port = 1;
  SetPathText(&s.audioFolder, "/a");
  ApplyOverrides(*options, &s);
  EXPECT_EQ(std::vector<int>({s.port, s.clientLimit, s.logLineLimit}),
            std::vector<int>({0, 100, 30}));
  EXPECT_EQ(PathText(s.audioFolder) + PathText(s.photoFolder) + PathText(s.firmwareFile),
            "/a/p/f.bin");
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
    EXPECT_FALSE(ParseServerOptions(bad, &error)) << bad[0] << " " << bad.back();
  }
}

// The server binary run in dir, its stdout and stderr kept in files there.
class ServerProcess {
 public:
  ServerProcess(std::vector<std::string> args, const test::TempDir& dir) : dir_(dir.path()) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ / "out").c_str(), O_WRONLY | O_CREAT, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "err").c_str(), O_WRONLY | O_CREAT, 0644);
    args.insert(args.begin(), RUREZA_SERVER_BINARY);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    std::filesystem::current_path(home);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ServerProcess() {
    if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
    std::filesystem::remove(dir_ / "out");
    std::filesystem::remove(dir_ / "err");
  }
  // Waits for a stdout line equal to text, after the last line found.
  bool WaitForLine(const std::string& text) {
    return test::WaitUntil([&] {
      std::istringstream out(Output("out"));
      size_t i = 0;
      for (std::string line; std::getline(out, line); ++i) {
        if (i >= found_ && line == text) {
          found_ = i + 1;
          return true;
        }
      }
      return false;
    });
  }
  // The exit code, or -1 when it has not exited within timeoutMs.
  int Wait(int timeoutMs = 10000) {
    int status = 0;
    if (!test::WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs)) {
      return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string Output(const char* name) {
    std::ifstream in(dir_ / name);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void Signal(int signal) { ::kill(pid_, signal); }

 private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
  size_t found_ = 0;
};

TEST(FrontEndTest, ServesLogsReloadsAndStopsCleanly) {
  test::TempDir dir;
  uint16_t port = test::FreeBasePort();
  ServerProcess server({"--port", std::to_string(port), "--clients", "3"}, dir);
  ASSERT_TRUE(server.WaitForLine("Start Running Media Server..."));
  ASSERT_TRUE(std::filesystem::exists(dir.path() / "sv.dat"));  // created with defaults
  for (bool reload : {false, true}) {
    if (reload) {
      server.Signal(SIGHUP);
      ASSERT_TRUE(server.WaitForLine("Stop Running Media Server..."));
      ASSERT_TRUE(server.WaitForLine("Start Running Media Server..."));
    }
    test::AdapterClient client;  // the port override still applies after the reload
    ASSERT_TRUE(test::WaitUntil([&] { return client.Connect(port, 1000); }));
    ASSERT_TRUE(client.SendBlock("<2"));
    EXPECT_TRUE(client.ClosedWithoutData());
    for (const char* line :
         {"New connection from 127.0.0.1", "Unknown command", "127.0.0.1 is leaving......"}) {
      EXPECT_TRUE(server.WaitForLine(line)) << line;
    }
    EXPECT_TRUE(test::WaitUntil([&] { return test::Probe(port + 3, "VE520", 50) == "VE520"; }));
  }
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(5000), 0);
  EXPECT_TRUE(server.WaitForLine("Stop Running Media Server..."));
  ServerSettings saved;
  ASSERT_TRUE(LoadSettingsFile((dir.path() / "sv.dat").string(), &saved).ok());
  EXPECT_EQ(saved.port, 4567);  // overrides are never saved
}

TEST(FrontEndTest, BadUsageAndUnreadableSettingsEndTheProcess) {
  test::TempDir dir;
  std::string settings = dir.Write("ro.dat", std::string(1026, '\0')).string();
  ::chmod(settings.c_str(), 0444);
  for (auto [args, code, stream, text] :
       std::vector<std::tuple<std::vector<std::string>, int, const char*, std::string>>{
           {{"--port", "70000"}, 2, "err", "Usage: rureza-server"},
           {{"--settings", settings}, 1, "err", "Permission denied"},
           {{"--help"}, 0, "out", "Usage: rureza-server [OPTION]..."}}) {
    ServerProcess server(args, dir);
    EXPECT_EQ(server.Wait(), code) << args[0];
    EXPECT_NE(server.Output(stream).find(text), std::string::npos) << args[0];
  }
}

}  // namespace
}  // namespace rureza
