// rureza-server as a process: its options, its stdout lines, SIGHUP reload and SIGTERM exit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/server_options.h"
#include "platform/socket.h"
#include "settings/settings_file.h"
#include "support/fixture.h"
#include "support/process.h"

namespace rureza::test {
namespace {

TEST(ServerOptionsTest, ValuesTakeTheSetupRangesAndOverrideOnlyWhatIsGiven) {
  std::string error;
  auto options = ParseServerOptions({"--port", "65532", "--clients=100", "--log-lines", "30",
                                     "--photo", "/p", "--firmware=/f.bin"},
                                    &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->settingsPath, ".//sv.dat");
  ServerSettings s;
  s.port = 1;
  SetPathText(&s.audioFolder, "/a");
  ApplyOverrides(*options, &s);
  EXPECT_EQ(std::vector<int>({s.port, s.clientLimit, s.logLineLimit}),
            std::vector<int>({65532, 100, 30}));
  EXPECT_EQ(PathText(s.audioFolder) + PathText(s.photoFolder) + PathText(s.firmwareFile),
            "/a/p/f.bin");
  EXPECT_EQ(StatusPort(*options, s), 65534);  // P+2 unless given
  options =
      ParseServerOptions({"--no-status", "--status-address", "0.0.0.0", "--status-port=1"}, &error);
  ASSERT_TRUE(options) << error;
  ApplyOverrides(*options, &s);
  EXPECT_FALSE(s.library.statusPage);
  EXPECT_EQ(s.library.statusAddress + ":" + std::to_string(StatusPort(*options, s)), "0.0.0.0:1");
  // Each a line of arguments, split at '|'.
  for (std::string bad : std::initializer_list<std::string>{
           "--port|65533", "--port|0", "--port|12a", "--port", "--clients|0", "--clients|101",
           "--log-lines|29", "--log-lines|10001", "--bogus", "--help=yes", "--settings|",
           "--video|" + std::string(255, 'v'), "--status-port|0", "--status-port|65536",
           "--status-address|1.2.3", "--status=on"}) {
    std::vector<std::string> args = {bad.substr(0, bad.find('|'))};
    if (bad.find('|') != std::string::npos) args.push_back(bad.substr(bad.find('|') + 1));
    EXPECT_FALSE(ParseServerOptions(args, &error)) << bad;
  }
}

ChildProcess Server(std::vector<std::string> args, const TempDir& dir) {
  return ChildProcess(RUREZA_SERVER_BINARY, std::move(args), dir.path());
}

TEST(FrontEndTest, ServesLogsReloadsAndStopsCleanly) {
  TempDir dir;
  uint16_t port = FreeBasePort();
  ChildProcess server = Server({"--port", std::to_string(port), "--clients", "3"}, dir);
  ASSERT_TRUE(server.WaitForLine("Start Running Media Server..."));
  ASSERT_TRUE(std::filesystem::exists(dir.path() / "sv.dat"));  // created with defaults
  for (bool reload : {false, true}) {
    if (reload) {
      server.Signal(SIGHUP);
      ASSERT_TRUE(server.WaitForLine("Stop Running Media Server..."));
      ASSERT_TRUE(server.WaitForLine("Start Running Media Server..."));
    }
    AdapterConnection client;  // the port override still applies after the reload
    ASSERT_TRUE(WaitUntil([&] { return client.Connect(LoopbackAddress(port), 1000); }));
    ASSERT_TRUE(client.SendBlock("<2"));
    EXPECT_TRUE(client.ClosedWithoutData());
    for (const char* line :
         {"New connection from 127.0.0.1", "Unknown command", "127.0.0.1 is leaving......"}) {
      EXPECT_TRUE(server.WaitForLine(line)) << line;
    }
    EXPECT_TRUE(WaitUntil(
        [&] { return Probe(LoopbackAddress(uint16_t(port + 3)), "VE520", 50) == "VE520"; }));
  }
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(5000), 0);
  EXPECT_TRUE(server.WaitForLine("Stop Running Media Server..."));
  ServerSettings saved;
  ASSERT_TRUE(LoadSettingsFile((dir.path() / "sv.dat").string(), &saved).ok());
  EXPECT_EQ(saved.port, 4567);  // overrides are never saved
}

// Bad usage and an unreadable settings file end the process. Settings that cannot work are
// replaced, one line each; a request port that is taken keeps both start lines, then ends the
// process with 1 (the service's restart) and the reason.
TEST(FrontEndTest, BadUsageUnreadableSettingsAndATakenPortEndTheProcess) {
  TempDir dir;
  std::string settings = dir.Write("ro.dat", std::string(1026, '\0')).string();
  ::chmod(settings.c_str(), 0444);
  dir.Write("sv.dat", std::string("\0\0\x35\xA6\0\0", 6));  // port 0, -22987 clients, 0 lines
  const std::string port = std::to_string(FreeBasePort());
  Socket taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(taken.Bind(uint16_t(std::stoi(port))).ok() && taken.Listen(1).ok());
  for (auto [args, code, stream, text] :
       std::vector<std::tuple<std::vector<std::string>, int, const char*, std::string>>{
           {{"--port", "70000"}, 2, "err", "Usage: rureza-server"},
           {{"--settings", settings}, 1, "err", "Permission denied"},
           {{"--help"}, 0, "out", "Usage: rureza-server [OPTION]..."},
           {{"--port", port},
            1,
            "err",
            "rureza-server: TCP port " + port + " is already in use by front_end_tests (PID " +
                std::to_string(::getpid()) + ")\n"},
           {{"--port", port},
            1,
            "out",
            "Settings: client limit -22987 cannot work (1-100 can); 1 is used instead\n"
            "Settings: log-line limit 0 cannot work (1 or more can); 1000 is used instead\n"},
           {{"--port", port}, 1, "out", "Networking Error 1002! Please Contact to Developers!"},
           {{"--port", port}, 1, "out", "] with port " + port + "\n"}}) {
    ChildProcess server = Server(args, dir);
    EXPECT_EQ(server.Wait(), code) << args[0];
    EXPECT_NE(server.Output(stream).find(text), std::string::npos) << args[0] << " " << text;
  }
}

}  // namespace
}  // namespace rureza::test
