#include "status/service_status.h"

#include <chrono>
#include <mutex>
#include <string>

#include "platform/service_notify.h"
#include "server/server.h"
#include "server/server_run.h"
#include "status/status_report.h"

namespace rureza {
namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_mutex;
bool g_ready = false;            // guarded by g_mutex: READY=1 sent since the last (re)start
std::string g_status;            // guarded by g_mutex: the last STATUS= sent
Clock::time_point g_statusAt;    // guarded by g_mutex
Clock::time_point g_watchdogAt;  // guarded by g_mutex
std::chrono::microseconds g_watchdog{0};  // guarded by g_mutex: 0: none asked for

void Beat(const ServerRun& run) {
  if (run.stopping()) return;
  const Clock::time_point now = Clock::now();
  std::string message;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_ready || now - g_statusAt >= std::chrono::seconds(1)) {
    const std::string status = CurrentStatusSummary();
    if (status != g_status || !g_ready) message += "STATUS=" + status + "\n";
    g_status = status;
    g_statusAt = now;
  }
  if (!g_ready) message += "READY=1\n";
  if (g_watchdog.count() > 0 && now - g_watchdogAt >= g_watchdog / 2) {
    message += "WATCHDOG=1\n";
    g_watchdogAt = now;
  }
  if (!message.empty()) NotifyServiceManager(message);
  g_ready = true;
}

}  // namespace

void StartServiceNotifications() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_watchdog = std::chrono::microseconds(ServiceWatchdogUsec());
  }
  SetListenerHeartbeat(Beat);
}

void NotifyServiceReloading() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_ready = false;
  NotifyServiceManager("RELOADING=1\nSTATUS=reloading the settings");
}

void NotifyServiceStopping() {
  std::lock_guard<std::mutex> lock(g_mutex);
  NotifyServiceManager("STOPPING=1\nSTATUS=stopping");
}

}  // namespace rureza
