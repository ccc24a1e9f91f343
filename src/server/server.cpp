#include "server/server.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "platform/memory.h"
#include "platform/poll.h"
#include "platform/port_holder.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "server/activity_log.h"
#include "server/discovery.h"
#include "server/local_address.h"
#include "server/media_folder_check.h"
#include "server/server_run.h"

namespace rureza {
namespace {

// Room for a crowd of adapters connecting at once: a connection the backlog has no room for
// waits a whole SYN retransmission (a second or more) before it is even seen.
constexpr int kListenBacklog = 128;
// A connection whose peer stopped acknowledging (an adapter switched off) ends within this.
std::atomic<uint32_t> g_deadPeerTimeoutMs{90000};
std::atomic<uint32_t> g_requestTimeLimitMs{30000};
// Time the listener waits at the end of a run before it reports client threads still running.
constexpr uint32_t kClientExitReportMs = 5000;

// How often the listener looks for dead peers: twice within the time limit at least.
int WatchIntervalMs() {
  return static_cast<int>(std::clamp<uint32_t>(DeadPeerTimeoutMs() / 4, 50, 1000));
}
// Pause after the process has run out of descriptors or memory, before accepting again.
constexpr int kResourcePauseMs = 100;

std::mutex g_runMutex;
std::shared_ptr<ServerRun> g_run;  // guarded by g_runMutex
// The run stopped last, while any thread of it is left: a stop may return before its listener
// has let go of the ports. Guarded by g_runMutex.
std::weak_ptr<ServerRun> g_stoppedRun;
// How long a new run waits for the previous one to let go of the ports before it binds them.
constexpr uint32_t kPortHandOverMs = 5000;
std::string g_failure;  // of the last run that ended on its own; guarded by g_runMutex
std::atomic<void (*)()> g_failureHandler{nullptr};
std::atomic<ListenerHeartbeat> g_heartbeat{nullptr};

// Ends run as StopServer would, because it cannot serve, and tells the front-end. A run the
// front-end has stopped meanwhile is left as it is.
void EndFailedRun(const std::shared_ptr<ServerRun>& run, const std::string& why) {
  {
    std::lock_guard<std::mutex> lock(g_runMutex);
    if (g_run != run) return;
    g_stoppedRun = std::exchange(g_run, nullptr);
    g_failure = why;
  }
  run->Stop();
  if (auto handler = g_failureHandler.load()) handler();
}

std::mutex g_clientsMutex;
std::condition_variable g_clientsChanged;
int g_clientCount = 0;  // guarded by g_clientsMutex

void CountClientIn(ServerRun& run) {
  {
    std::lock_guard<std::mutex> lock(g_clientsMutex);
    ++g_clientCount;
  }
  run.ClientStarted();
}

void CountClientOut(ServerRun& run) {
  int before;
  {
    std::lock_guard<std::mutex> lock(g_clientsMutex);
    before = g_clientCount;
    if (g_clientCount > 0) --g_clientCount;
  }
  g_clientsChanged.notify_all();
  run.ClientEnded();
  // A listener at its client limit (of this run or a newer one) may accept again. One below
  // its limit polls the request port anyway: waking it would only cost a context switch.
  if (before >= run.settings().clientLimit) run.Wake();
  auto current = CurrentRun();
  if (current && before >= current->settings().clientLimit) current->Wake();
}

struct ClientHandoff {
  Socket connection;
  sockaddr_in peer;
};

// Accepts the connections waiting on the request port while the client limit allows.
// False when accepting cannot go on in this run.
bool AcceptClients(const std::shared_ptr<ServerRun>& run, const Socket& requests,
                   ConnectionHandler serve) {
  const int limit = run->settings().clientLimit;
  while (ClientCount() < limit) {
    sockaddr_in peer{};
    Status error;
    Socket connection = requests.Accept(&peer, &error);
    if (!connection.valid()) {
      switch (error.code) {
        case EAGAIN:
          return true;
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
          continue;  // that connection is gone; others may wait
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
          WaitReadable(run->stopFd(), kResourcePauseMs);
          return true;
        default:
          return false;
      }
    }
    CountClientIn(*run);
    auto handoff = std::make_shared<ClientHandoff>(ClientHandoff{std::move(connection), peer});
    bool started = StartThread([run, handoff, serve] {
      serve(*run, std::move(handoff->connection), handoff->peer);
      CountClientOut(*run);
    });
    if (!started) {
      // The handoff (and with it the connection) was released with the thread's body.
      AppendLog("System Error 2002! Please Contact to Developers!");
      CountClientOut(*run);
    }
  }
  return true;
}

void AcceptLoop(const std::shared_ptr<ServerRun>& run, const Socket& requests,
                const Socket& control, ConnectionHandler serve) {
  const int limit = run->settings().clientLimit;
  bool limitLogged = false;
  auto lastWatch = std::chrono::steady_clock::now();
  while (!run->stopping()) {
    if (ListenerHeartbeat beat = g_heartbeat.load()) beat(*run);
    bool atLimit = ClientCount() >= limit;
    if (atLimit && !limitLogged) {
      AppendLog(Format("Maximum users is %d, please connect later.", limit));
    }
    limitLogged = atLimit;
    // The control port is always taken from: a connection nobody waits for is closed after a
    // grace instead of waiting in the backlog for whichever stream comes next.
    const int strayDueMs = run->CloseStrayControls();
    PollItem items[3] = {
        {run->wakeFd(), false}, {atLimit ? -1 : requests.fd(), false}, {control.fd(), false}};
    int ready = PollReadable(
        items, 3, strayDueMs < 0 ? WatchIntervalMs() : std::min(strayDueMs, WatchIntervalMs()));
    auto now = std::chrono::steady_clock::now();
    if (now - lastWatch >= std::chrono::milliseconds(WatchIntervalMs())) {
      run->ShutDownDeadPeers(DeadPeerTimeoutMs());
      lastWatch = now;
    }
    if (ready < 0) {
      WaitReadable(run->stopFd(), kResourcePauseMs);
      continue;
    }
    if (items[0].readable) run->DrainWake();
    if (run->stopping()) break;
    if (items[2].readable) {
      sockaddr_in peer{};
      Socket connection = control.Accept(&peer, nullptr);
      if (connection.valid()) run->DeliverControlConnection(std::move(connection), peer.sin_addr);
    }
    if (items[1].readable && !AcceptClients(run, requests, serve)) break;
  }
}

std::string BindFailure(uint16_t port, const Status& error) {
  if (error.code != EADDRINUSE) {
    return Format("TCP port %u cannot be opened: %s", port, error.text.c_str());
  }
  const std::string holder = TcpPortHolder(port);
  return Format("TCP port %u is already in use", port) + (holder.empty() ? "" : " by " + holder);
}

// Opens a listening socket; on failure appends the numbered line of the failing step and says
// why in *failure.
Socket OpenListener(uint16_t port, const char* createFailed, const char* bindFailed,
                    const char* listenFailed, std::string* failure) {
  Status error;
  Socket socket = Socket::NewTcp(&error);
  if (!socket.valid()) {
    AppendLog(createFailed);
    *failure = "a TCP socket cannot be made: " + error.text;
    return socket;
  }
  // Connections of the previous run in TIME_WAIT must not keep a restart from binding.
  socket.SetReuseAddress();
  // Accepted connections inherit the dead-peer limit, without system calls of their own.
  socket.SetDeadPeerTimeout(DeadPeerTimeoutMs());
  error = socket.Bind(port);
  if (!error.ok()) {
    AppendLog(bindFailed);
    *failure = BindFailure(port, error);
    return Socket();
  }
  error = socket.Listen(kListenBacklog);
  if (error.ok()) error = socket.SetNonBlocking(true);
  if (!error.ok()) {
    AppendLog(listenFailed);
    *failure = Format("TCP port %u cannot take connections: %s", port, error.text.c_str());
    return Socket();
  }
  return socket;
}

void RunListener(const std::shared_ptr<ServerRun>& run, ConnectionHandler serve,
                 const std::function<void()>& startDiscovery) {
  const uint16_t port = run->settings().port;
  std::string failure;
  {
    Socket requests =
        OpenListener(port, "NetWorking Error 1001! Please Contact to Developers!",
                     "Networking Error 1002! Please Contact to Developers!",
                     "NetWorking Error 1003! Please Contact to Developers!", &failure);
    Socket control;
    if (requests.valid()) {
      control = OpenListener(static_cast<uint16_t>(port + 1),
                             "NetWorking Error 1004! Please Contact to Developers!",
                             "NetWorking Error 1005! Please Contact to Developers!",
                             "NetWorking Error 1006! Please Contact to Developers!", &failure);
    }
    // Without its control port the run serves nothing, so the request port is closed too
    // rather than left to accept connections nobody answers.
    if (requests.valid() && control.valid()) {
      run->ListenerOpened();
      // Adapters are told of the server only once it can take their requests.
      startDiscovery();
      AcceptLoop(run, requests, control, serve);
      if (!run->stopping()) failure = Format("TCP port %u stopped taking connections", port);
    } else {
      run->DiscoveryClosed();  // never started
    }
  }
  run->ListenerClosed();
  if (!failure.empty()) EndFailedRun(run, failure);
  run->WaitUntilStopped();
  // Client threads may outlast the stop (a firmware transfer ignores it); their connections are
  // still watched, so none of them waits for ever on an adapter that was switched off.
  const auto stopped = std::chrono::steady_clock::now();
  bool reported = false;
  while (!run->WaitForClients(static_cast<uint32_t>(WatchIntervalMs()))) {
    run->ShutDownDeadPeers(DeadPeerTimeoutMs());
    if (!reported && std::chrono::steady_clock::now() - stopped >=
                         std::chrono::milliseconds(kClientExitReportMs)) {
      AppendLog("One or more client threads did not exit");
      reported = true;
    }
  }
}

}  // namespace

void StartServer(ConnectionHandler serve) {
  if (ServerIsRunning()) return;
  KeepHeapsTrim();
  // "~/Music" as the shell would have it: a service's options and a settings file get no shell.
  auto run = std::make_shared<ServerRun>(WithHomeFolders(CurrentSettings()));
  std::weak_ptr<ServerRun> previous;
  {
    std::lock_guard<std::mutex> lock(g_runMutex);
    // No thread can be woken without the run's descriptors, so none is started.
    g_failure = run->valid() ? "" : "the server's wake-up descriptors cannot be made";
    if (run->valid()) {
      g_run = run;
      previous = std::exchange(g_stoppedRun, {});
    }
  }
  if (!run->valid()) {
    if (auto handler = g_failureHandler.load()) handler();
    return;
  }
  // A restart right after a stop that outlasted its wait would find the ports still bound.
  auto startDiscovery = [run, previous] {
    if (!StartThread([run, previous] {
          if (auto last = previous.lock()) last->WaitForDiscoveryClosed(kPortHandOverMs);
          RunDiscovery(run);
        })) {
      AppendLog("Cannot create UDP thread");
      run->DiscoveryClosed();
    }
  };
  if (!StartThread([run, previous, serve, startDiscovery] {
        if (auto last = previous.lock()) last->WaitForListenerClosed(kPortHandOverMs);
        RunListener(run, serve, startDiscovery);
      })) {
    AppendLog("Cannot create Listen thread");
    run->ListenerClosed();
    run->DiscoveryClosed();
    EndFailedRun(run, "the listener thread cannot be started");
  }
  std::optional<std::string> address = LocalAddressText();
  AppendLog(Format("Server Started : [%s] with port %u", address ? address->c_str() : "(null)",
                   static_cast<unsigned>(run->settings().port)));
  CheckMediaFolders(run->settings());
}

void StopServer() {
  std::shared_ptr<ServerRun> run;
  {
    std::lock_guard<std::mutex> lock(g_runMutex);
    run = std::move(g_run);
    if (run) g_stoppedRun = run;
  }
  if (!run) return;
  run->Stop();
  if (!run->WaitForListenerClosed(100)) {
    AppendLog("System Warming 3001! Please Contact to Developers!");
  }
  // The discovery port must be free again before a restart binds it.
  run->WaitForDiscoveryClosed(100);
}

uint32_t DeadPeerTimeoutMs() { return g_deadPeerTimeoutMs.load(); }

void SetDeadPeerTimeoutMs(uint32_t ms) { g_deadPeerTimeoutMs.store(ms); }

std::string ServerFailure() {
  std::lock_guard<std::mutex> lock(g_runMutex);
  return g_failure;
}

void SetServerFailureHandler(void (*handler)()) { g_failureHandler.store(handler); }

void SetListenerHeartbeat(ListenerHeartbeat beat) { g_heartbeat.store(beat); }

uint32_t RequestTimeLimitMs() { return g_requestTimeLimitMs.load(); }

void SetRequestTimeLimitMs(uint32_t ms) { g_requestTimeLimitMs.store(ms); }

bool ServerIsRunning() {
  std::lock_guard<std::mutex> lock(g_runMutex);
  return g_run != nullptr;
}

std::shared_ptr<ServerRun> CurrentRun() {
  std::lock_guard<std::mutex> lock(g_runMutex);
  return g_run;
}

int ClientCount() {
  std::lock_guard<std::mutex> lock(g_clientsMutex);
  return g_clientCount;
}

bool WaitForClientThreads(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(g_clientsMutex);
  return g_clientsChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [] { return g_clientCount == 0; });
}

}  // namespace rureza
