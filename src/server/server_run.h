// ServerRun: everything one run of the server owns, from StartServer to the end of its last
// thread: the settings it started with, its stop flag and stop event, the listener's wake-up,
// the connections still waiting for their request block, the control threads waiting for a
// control connection and the control connections waiting for their stream. Threads of a run
// hold it by shared_ptr, so a Start soon after a Stop never lets an old thread touch the new
// run's sockets or events.
// Thread safety: every method may be called from any thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "platform/event.h"
#include "platform/socket.h"
#include "settings/server_settings.h"

namespace rureza {

class ServerRun;

// One stream's claim on the next control connection from its adapter's address. Shared by the
// stream, which ends it, and its control thread, which waits on it.
class ControlWait {
 public:
  enum class Outcome { kConnected, kEnded, kServerStopped };

  // Stream side: ends a wait that has not been served (the control thread gives up and never
  // takes a later stream's connection), and shuts down a connection that has been handed over
  // (its control thread's pending receive returns). The connection is closed when the last
  // holder lets go of it.
  void End();
  bool ended() const;

  // The handed-over connection; null until kConnected.
  std::shared_ptr<Socket> connection() const;

 private:
  friend class ServerRun;
  enum class State { kWaiting, kConnected, kEnded, kServerStopped };

  explicit ControlWait(const Socket& request)
      : adapter_(request.PeerAddress()), request_(&request) {}
  bool From(in_addr address) const { return adapter_ && adapter_->s_addr == address.s_addr; }
  // How the adapter stands to the stream's request connection: there, closed its side (it has
  // left the stream, or only ended what it sends and still reads), or gone (reset, closed both
  // ways). An adapter that left may be playing another stream by now.
  // REQUIRES: mutex_ held and state_ kWaiting (the stream's socket is open until End()).
  enum class Adapter { kThere, kClosedItsSide, kGone };
  Adapter AdapterState() const {
    if (request_->PeerHasGone()) return Adapter::kGone;
    return request_->PeerHasClosed() ? Adapter::kClosedItsSide : Adapter::kThere;
  }

  // The address of the stream's request connection; a connection from no other is handed over.
  const std::optional<in_addr> adapter_;
  // The stream's request connection, open while the wait is kWaiting: the stream ends the wait
  // before its client thread closes the socket.
  const Socket* const request_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::kWaiting;       // guarded by mutex_
  std::shared_ptr<Socket> connection_;  // guarded by mutex_
};

class ServerRun : public std::enable_shared_from_this<ServerRun> {
 public:
  explicit ServerRun(const ServerSettings& settings);
  ServerRun(const ServerRun&) = delete;
  ServerRun& operator=(const ServerRun&) = delete;

  // The settings the run started with.
  const ServerSettings& settings() const { return settings_; }
  // When it started (wall-clock time).
  std::time_t started() const { return started_; }

  // The run's stop flag: raised once by Stop(), never lowered.
  bool stopping() const { return stopping_.load(); }
  // Waits until the run is stopped; false when timeoutMs passes first.
  bool WaitForStop(uint32_t timeoutMs) const { return stopEvent_.WaitFor(timeoutMs); }
  void WaitUntilStopped() const { stopEvent_.Wait(); }

  // Raises the stop flag, signals the stop event, wakes the listener and the discovery thread,
  // ends every connection still waiting for its request block and every control wait.
  void Stop();

  // --- control connections (streams and their control threads)
  // How long a control connection that no stream of its address waits for is kept before it
  // is closed: its stream's control thread may not have begun to wait yet.
  static constexpr uint32_t kStrayControlGraceMs = 2000;

  // A stream's claim on the next control connection from the address of its request
  // connection (or one that came first and waits as a stray), made before the stream sends its
  // first byte; for one address, claims are served in the order they were made. The request
  // connection may from now on pause (stop taking data) for as long as the adapter likes.
  std::shared_ptr<ControlWait> NewControlWait(const Socket& request);
  // Control-thread side: waits until the claim is served. Returns kEnded when the stream ended
  // it first and kServerStopped when the run stopped (the control port is closed).
  ControlWait::Outcome AwaitControlConnection(const std::shared_ptr<ControlWait>& wait);

  // --- listener side
  // A descriptor that is readable while the listener has something to re-check (a client ended,
  // a control thread began to wait, the run stopped). Drain with DrainWake().
  int wakeFd() const { return wake_.fd(); }
  void Wake() { wake_.Notify(); }
  void DrainWake() { wake_.Drain(); }
  // True when at least one stream's claim waits to be served; drops those that ended meanwhile.
  bool HasControlWaiters();
  // Hands connection to the stream of its address whose claim is the oldest and whose adapter
  // has not closed its request connection; when there is none, keeps it for
  // kStrayControlGraceMs (a few at most), then closes it.
  void DeliverControlConnection(Socket connection, in_addr from);
  // Closes the kept control connections whose grace is over; returns the milliseconds until
  // the next one's is, or -1 when none is kept.
  int CloseStrayControls();
  // A descriptor that becomes readable, and stays so, once the run is stopped.
  int stopFd() const { return stopWake_.fd(); }

  // Both listening sockets are open (for tests and diagnostics).
  void ListenerOpened() { listenerOpened_.Set(); }
  bool WaitForListenerOpened(uint32_t timeoutMs) const {
    return listenerOpened_.WaitFor(timeoutMs);
  }
  void DiscoveryOpened() { discoveryOpened_.Set(); }
  bool WaitForDiscoveryOpened(uint32_t timeoutMs) const {
    return discoveryOpened_.WaitFor(timeoutMs);
  }
  // The listener's accept loop has ended and its listening sockets are closed.
  void ListenerClosed() { listenerClosed_.Set(); }
  bool WaitForListenerClosed(uint32_t timeoutMs) const {
    return listenerClosed_.WaitFor(timeoutMs);
  }
  void DiscoveryClosed() { discoveryClosed_.Set(); }
  bool WaitForDiscoveryClosed(uint32_t timeoutMs) const {
    return discoveryClosed_.WaitFor(timeoutMs);
  }

  // --- client threads
  // A connection waiting for its request block; Stop() shuts it down. Unregister before the
  // socket is closed.
  void RegisterPendingRequest(const Socket* connection);
  void UnregisterPendingRequest(const Socket* connection);
  void ClientStarted() { liveClients_.fetch_add(1); }
  void ClientEnded();
  // Waits until no client thread of this run is left; false when timeoutMs passes first.
  bool WaitForClients(uint32_t timeoutMs);

  // --- connections watched for a dead peer (request and control connections)
  // Unwatch before the socket is closed. A request connection must also keep taking what is
  // sent to it, until its stream allows pauses (NewControlWait); a control connection need not.
  void WatchConnection(const Socket* connection, bool mustTakeData = true);
  void UnwatchConnection(const Socket* connection);
  // Shuts down each watched connection whose peer has acknowledged nothing for timeoutMs while
  // data waited for it, at two checks in a row (one check could fall in the moment a paused
  // peer's window probe is on its way), and each one that must take data whose peer has
  // taken no byte for timeoutMs while bytes waited (a closed receive window that stays closed
  // looks alive to the first test). Its blocked send or receive then fails.
  void ShutDownDeadPeers(uint32_t timeoutMs);

  bool valid() const { return wake_.valid() && stopWake_.valid(); }

 private:
  const ServerSettings settings_;
  const std::time_t started_ = std::time(nullptr);
  std::atomic<bool> stopping_{false};
  ManualResetEvent stopEvent_;
  ManualResetEvent listenerOpened_;
  ManualResetEvent discoveryOpened_;
  ManualResetEvent listenerClosed_;
  ManualResetEvent discoveryClosed_;
  Notifier wake_;
  Notifier stopWake_;

  std::mutex mutex_;
  std::condition_variable clientsChanged_;
  std::atomic<int> liveClients_{0};
  using Clock = std::chrono::steady_clock;
  struct StrayControl {
    Socket connection;
    in_addr from;
    Clock::time_point arrived;
  };
  // Hands connection over; wait is kWaiting and its mutex_ is held.
  void HandOver(ControlWait& wait, Socket connection);

  std::set<const Socket*> pendingRequests_;                // guarded by mutex_
  std::deque<std::shared_ptr<ControlWait>> controlWaits_;  // guarded by mutex_
  std::deque<StrayControl> strays_;                        // oldest first; guarded by mutex_

  struct Watch {
    int strikes = 0;  // checks found dead in a row
    bool mustTakeData = true;
    uint64_t acknowledged = 0;  // by the peer, when last seen to grow
    Clock::time_point lastTaken;
  };
  // Apart from mutex_: a control connection unwatches itself when its last holder lets go,
  // which may happen while mutex_ is held.
  std::mutex watchMutex_;
  std::map<const Socket*, Watch> watched_;  // guarded by watchMutex_
};

}  // namespace rureza
