// rureza-server: the headless front-end. Loads the settings, starts the server and writes every
// activity-log line to stdout until SIGINT or SIGTERM; SIGHUP restarts with reloaded settings.
// A run that cannot serve (its ports are taken) ends the process with exit code 1, so that a
// service manager sees the failure. The status page is served beside each run (a port it cannot
// have costs a log line, never the run); a service manager that asks is told how the server is
// (readiness, a status line, the watchdog, reloading and stopping).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/server_options.h"
#include "app/stream_log_sink.h"
#include "conversion/process_conversions.h"
#include "platform/thread.h"
#include "request/dispatcher.h"
#include "server/activity_log.h"
#include "server/server.h"
#include "settings/settings_file.h"
#include "status/service_status.h"
#include "status/status_page.h"

namespace rureza {
namespace {

// Time the client threads get to finish after a stop before the process exits anyway.
constexpr uint32_t kExitGraceMs = 5000;

// *notes: lines for the activity log: the settings file's problem, values that cannot work.
bool LoadSettings(const ServerOptions& options, bool createMissing,
                  std::vector<std::string>* notes) {
  ServerSettings settings = CurrentSettings();
  std::string note;
  Status status = createMissing ? LoadOrCreateSettingsFile(options.settingsPath, &settings, &note)
                                : LoadSettingsFile(options.settingsPath, &settings, &note);
  if (!status.ok()) {
    std::fprintf(stderr, "rureza-server: %s: %s\n", options.settingsPath.c_str(),
                 status.text.c_str());
    return false;
  }
  ApplyOverrides(options, &settings);
  *notes = ReplaceUnworkableValues(&settings);
  if (!note.empty()) notes->insert(notes->begin(), note);
  SetCurrentSettings(settings);
  return true;
}

void Log(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) AppendLog(line);
}

// Runs on the thread that found the failure; the main thread takes the signal in sigwait.
void OnServerFailed() { kill(getpid(), SIGUSR1); }

void Start(const ServerOptions& options) {
  AppendLog("Start Running Media Server...");
  // Started once, by the first run that converts; kept for the runs after it.
  if (CurrentSettings().library.convert) {
    StartProcessConversions(FrontEndConversionSettings(options.cacheBytes));
  }
  StartServer(ServeClient);
  const ServerSettings settings = CurrentSettings();
  if (!settings.library.statusPage) return;
  const uint16_t port = StatusPort(options, settings);
  if (port == settings.port || port == settings.port + 1) {
    AppendLog(Format("Status page not served: TCP port %u is the adapters'", port));
    return;
  }
  StartStatusPage(settings.library.statusAddress, port);
}

void Stop() {
  StopStatusPage();
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
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> notes;
  if (!LoadSettings(*options, /*createMissing=*/true, &notes)) return 1;
  SetLogSink(std::make_shared<StreamLogSink>(STDOUT_FILENO));
  Log(notes);
  SetServerFailureHandler(OnServerFailed);
  StartServiceNotifications();
  Start(*options);

  for (;;) {
    int received = 0;
    if (sigwait(&signals, &received) != 0) continue;
    if (received == SIGHUP) {
      NotifyServiceReloading();
      Stop();
      // A file that cannot be read now keeps the settings of the last good load.
      if (LoadSettings(*options, /*createMissing=*/false, &notes)) Log(notes);
      Start(*options);
      continue;
    }
    int code = 0;
    if (received == SIGUSR1) {
      const std::string failure = ServerFailure();
      if (ServerIsRunning() || failure.empty()) continue;  // not a failure of ours
      std::fprintf(stderr, "rureza-server: %s\n", failure.c_str());
      code = 1;
    }
    NotifyServiceStopping();
    Stop();
    StopProcessConversions();  // streams that wait for a conversion end now
    bool allEnded = WaitForThreadsToEnd(kExitGraceMs);
    std::fflush(stdout);
    if (!allEnded) _exit(code);  // threads still sending must not meet destroyed globals
    EndProcessConversions();
    SetLogSink(nullptr);
    return code;
  }
}

}  // namespace
}  // namespace rureza

int main(int argc, char** argv) { return rureza::Main(argc, argv); }
