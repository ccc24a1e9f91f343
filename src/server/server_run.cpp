#include "server/server_run.h"

#include <algorithm>

namespace rureza {
namespace {

// Control connections kept for a stream that has not begun to wait yet: a few per adapter.
constexpr size_t kMostStrayControls = 64;

}  // namespace

void ControlWait::End() {
  std::shared_ptr<Socket> connection;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connection = connection_;
    if (state_ == State::kWaiting) {
      state_ = State::kEnded;
      changed_.notify_all();
    } else if (state_ == State::kConnected) {
      state_ = State::kEnded;
    }
  }
  // An abandoned wait is dropped by the next delivery, and never handed a connection.
  if (connection) connection->Shutdown();
}

bool ControlWait::ended() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ == State::kEnded;
}

std::shared_ptr<Socket> ControlWait::connection() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connection_;
}

ServerRun::ServerRun(const ServerSettings& settings) : settings_(settings) {}

void ServerRun::Stop() {
  stopEvent_.Set();
  stopping_.store(true);
  stopWake_.Notify();
  wake_.Notify();
  std::deque<std::shared_ptr<ControlWait>> waits;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Socket* connection : pendingRequests_) connection->Shutdown();
    waits.swap(controlWaits_);
    strays_.clear();
  }
  for (auto& wait : waits) {
    std::lock_guard<std::mutex> lock(wait->mutex_);
    if (wait->state_ == ControlWait::State::kWaiting) {
      wait->state_ = ControlWait::State::kServerStopped;
      wait->changed_.notify_all();
    }
  }
}

std::shared_ptr<ControlWait> ServerRun::NewControlWait(const Socket& request) {
  {
    std::lock_guard<std::mutex> lock(watchMutex_);
    auto it = watched_.find(&request);
    if (it != watched_.end()) it->second.mustTakeData = false;
  }
  // Claimed now, on the stream's own thread, before its adapter can have heard a byte of it:
  // its control thread may take a while to begin (a busy machine), and a connection that comes
  // meanwhile is the stream's, not a stray whose grace may run out.
  std::shared_ptr<ControlWait> wait(new ControlWait(request));
  std::lock_guard<std::mutex> lock(mutex_);
  std::lock_guard<std::mutex> waitLock(wait->mutex_);
  if (stopping()) {
    wait->state_ = ControlWait::State::kServerStopped;
    return wait;
  }
  // The oldest from the stream's address that its adapter has not closed meanwhile: it came
  // before the stream, or is the connection of one that ended before it was claimed.
  auto stray = strays_.begin();
  while (stray != strays_.end()) {
    if (!wait->From(stray->from)) {
      ++stray;
    } else if (stray->connection.PeerHasClosed()) {
      stray = strays_.erase(stray);
    } else {
      break;
    }
  }
  if (stray != strays_.end()) {
    HandOver(*wait, std::move(stray->connection));
    strays_.erase(stray);
    return wait;
  }
  controlWaits_.push_back(wait);
  return wait;
}

ControlWait::Outcome ServerRun::AwaitControlConnection(const std::shared_ptr<ControlWait>& wait) {
  std::unique_lock<std::mutex> lock(wait->mutex_);
  wait->changed_.wait(lock, [&] { return wait->state_ != ControlWait::State::kWaiting; });
  switch (wait->state_) {
    case ControlWait::State::kConnected:
      return ControlWait::Outcome::kConnected;
    case ControlWait::State::kServerStopped:
      return ControlWait::Outcome::kServerStopped;
    default:
      // Ended by the stream; a connection handed over in the same moment is shut down by End().
      return wait->connection_ ? ControlWait::Outcome::kConnected : ControlWait::Outcome::kEnded;
  }
}

bool ServerRun::HasControlWaiters() {
  std::lock_guard<std::mutex> lock(mutex_);
  auto gone = [](const std::shared_ptr<ControlWait>& wait) {
    std::lock_guard<std::mutex> waitLock(wait->mutex_);
    return wait->state_ != ControlWait::State::kWaiting;
  };
  controlWaits_.erase(std::remove_if(controlWaits_.begin(), controlWaits_.end(), gone),
                      controlWaits_.end());
  return !controlWaits_.empty();
}

void ServerRun::HandOver(ControlWait& wait, Socket connection) {
  // Watched for a dead peer until its last holder lets go of it.
  Socket* watched = new Socket(std::move(connection));
  WatchConnection(watched, /*mustTakeData=*/false);
  std::weak_ptr<ServerRun> owner = weak_from_this();
  wait.connection_ = std::shared_ptr<Socket>(watched, [owner](Socket* s) {
    if (auto run = owner.lock()) run->UnwatchConnection(s);
    delete s;
  });
  wait.state_ = ControlWait::State::kConnected;
  wait.changed_.notify_all();
}

void ServerRun::DeliverControlConnection(Socket connection, in_addr from) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = controlWaits_.begin(); it != controlWaits_.end();) {
    std::shared_ptr<ControlWait> wait = *it;
    std::lock_guard<std::mutex> waitLock(wait->mutex_);
    if (wait->state_ != ControlWait::State::kWaiting) {
      it = controlWaits_.erase(it);
      continue;
    }
    // Another adapter's stream is never steered from here, nor one whose adapter has closed
    // its request connection: it has left the stream (still ending, waiting for a conversion,
    // say), and the command is meant for the stream it plays now.
    if (!wait->From(from) || wait->AdapterState() != ControlWait::Adapter::kThere) {
      ++it;
      continue;
    }
    controlWaits_.erase(it);
    HandOver(*wait, std::move(connection));
    return;
  }
  if (stopping()) return;  // closed here
  strays_.push_back(StrayControl{std::move(connection), from, Clock::now()});
  if (strays_.size() > kMostStrayControls) {
    // The oldest of the address that keeps the most: one adapter opening connection after
    // connection takes no room from the others.
    auto count = [&](in_addr a) {
      return std::count_if(strays_.begin(), strays_.end(),
                           [&](const StrayControl& s) { return s.from.s_addr == a.s_addr; });
    };
    auto most = std::max_element(strays_.begin(), strays_.end(),
                                 [&](const StrayControl& a, const StrayControl& b) {
                                   return count(a.from) < count(b.from);
                                 });
    strays_.erase(most);
  }
}

int ServerRun::CloseStrayControls() {
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point now = Clock::now();
  const auto grace = std::chrono::milliseconds(kStrayControlGraceMs);
  while (!strays_.empty() && now - strays_.front().arrived >= grace) strays_.pop_front();
  if (strays_.empty()) return -1;
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(strays_.front().arrived + grace - now);
  return static_cast<int>(left.count()) + 1;
}

void ServerRun::RegisterPendingRequest(const Socket* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  pendingRequests_.insert(connection);
  // A Stop that came just before the registration must still end this wait.
  if (stopping()) connection->Shutdown();
}

void ServerRun::UnregisterPendingRequest(const Socket* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  pendingRequests_.erase(connection);
}

void ServerRun::WatchConnection(const Socket* connection, bool mustTakeData) {
  std::lock_guard<std::mutex> lock(watchMutex_);
  watched_[connection] = Watch{0, mustTakeData, 0, Clock::now()};
}

void ServerRun::UnwatchConnection(const Socket* connection) {
  std::lock_guard<std::mutex> lock(watchMutex_);
  watched_.erase(connection);
}

void ServerRun::ShutDownDeadPeers(uint32_t timeoutMs) {
  std::lock_guard<std::mutex> lock(watchMutex_);
  const Clock::time_point now = Clock::now();
  for (auto& [connection, watch] : watched_) {
    watch.strikes = connection->PeerStoppedAcknowledging(timeoutMs) ? watch.strikes + 1 : 0;
    bool stalled = false;
    if (watch.mustTakeData) {
      std::optional<SendProgress> progress = connection->SendProgressNow();
      if (!progress || progress->queued == 0 || progress->acknowledged != watch.acknowledged) {
        watch.acknowledged = progress ? progress->acknowledged : 0;
        watch.lastTaken = now;
      }
      stalled = now - watch.lastTaken >= std::chrono::milliseconds(timeoutMs);
    }
    if (watch.strikes == 2 || stalled) connection->Shutdown();
  }
}

void ServerRun::ClientEnded() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    liveClients_.fetch_sub(1);
  }
  clientsChanged_.notify_all();
}

bool ServerRun::WaitForClients(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return clientsChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [this] { return liveClients_.load() <= 0; });
}

}  // namespace rureza
