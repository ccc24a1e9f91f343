// rureza-server: the headless front-end. Loads the settings, starts the server and writes every
// activity-log line to stdout until SIGINT or SIGTERM; SIGHUP restarts with reloaded settings.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/server_options.h"
#include "app/stream_log_sink.h"
#include "platform/thread.h"
#include "request/dispatcher.h"
#include "server/activity_log.h"
#include "server/server.h"
#include "settings/settings_file.h"

namespace rureza {
namespace {

// Time the client threads get to finish after a stop before the process exits anyway.
constexpr uint32_t kExitGraceMs = 5000;

// *note: the settings file's problem for the activity log, when it has one.
bool LoadSettings(const ServerOptions& options, bool createMissing, std::string* note) {
  ServerSettings settings = CurrentSettings();
  Status status = createMissing ? LoadOrCreateSettingsFile(options.settingsPath, &settings, note)
                                : LoadSettingsFile(options.settingsPath, &settings, note);
  if (!status.ok()) {
    std::fprintf(stderr, "rureza-server: %s: %s\n", options.settingsPath.c_str(),
                 status.text.c_str());
    return false;
  }
  ApplyOverrides(options, &settings);
  SetCurrentSettings(settings);
  return true;
}

void Start() {
  AppendLog("Start Running Media Server...");
  StartServer(ServeClient);
}

void Stop() {
  StopServer();
  AppendLogUncounted("Stop Running Media Server...");
}

int Main(int argc, char** argv) {
  std::string error;
  std::optional<ServerOptions> options =
      ParseServerOptions(std::vector<std::string>(argv + 1, argv + argc), &error);
  if (!options) {
    std::fprintf(stderr, "rureza-server: %s\n%s", error.c_str(), ServerUsage().c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(ServerUsage().c_str(), stdout);
    return 0;
  }
  if (options->version) {
    std::printf("rureza-server %s\n", kServerVersion);
    return 0;
  }

  // Signals are taken by sigwait below; every thread started later inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string note;
  if (!LoadSettings(*options, /*createMissing=*/true, &note)) return 1;
  SetLogSink(std::make_shared<StreamLogSink>(STDOUT_FILENO));
  if (!note.empty()) AppendLog(note);
  Start();

  for (;;) {
    int received = 0;
    if (sigwait(&signals, &received) != 0) continue;
    if (received == SIGHUP) {
      Stop();
      // A file that cannot be read now keeps the settings of the last good load.
      if (LoadSettings(*options, /*createMissing=*/false, &note) && !note.empty()) AppendLog(note);
      Start();
      continue;
    }
    Stop();
    bool allEnded = WaitForThreadsToEnd(kExitGraceMs);
    std::fflush(stdout);
    if (!allEnded) _exit(0);  // threads still sending must not meet destroyed globals
    SetLogSink(nullptr);
    return 0;
  }
}

}  // namespace
}  // namespace rureza

int main(int argc, char** argv) { return rureza::Main(argc, argv); }
