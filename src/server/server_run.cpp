#include "server/server_run.h"

#include <algorithm>

namespace rureza {

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
  if (connection) connection->Shutdown();
  // The listener drops the abandoned wait, so it never accepts a connection for it.
  if (auto run = run_.lock()) run->Wake();
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
  }
  for (auto& wait : waits) {
    std::lock_guard<std::mutex> lock(wait->mutex_);
    if (wait->state_ == ControlWait::State::kWaiting) {
      wait->state_ = ControlWait::State::kServerStopped;
      wait->changed_.notify_all();
    }
  }
}

std::shared_ptr<ControlWait> ServerRun::NewControlWait() {
  return std::shared_ptr<ControlWait>(new ControlWait(weak_from_this()));
}

ControlWait::Outcome ServerRun::AwaitControlConnection(const std::shared_ptr<ControlWait>& wait) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping()) return ControlWait::Outcome::kServerStopped;
    controlWaits_.push_back(wait);
  }
  Wake();
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

void ServerRun::DeliverControlConnection(Socket connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  while (!controlWaits_.empty()) {
    std::shared_ptr<ControlWait> wait = std::move(controlWaits_.front());
    controlWaits_.pop_front();
    std::lock_guard<std::mutex> waitLock(wait->mutex_);
    if (wait->state_ != ControlWait::State::kWaiting) continue;
    // Watched for a dead peer until its last holder lets go of it.
    Socket* watched = new Socket(std::move(connection));
    WatchConnection(watched);
    std::weak_ptr<ServerRun> owner = weak_from_this();
    wait->connection_ = std::shared_ptr<Socket>(watched, [owner](Socket* s) {
      if (auto run = owner.lock()) run->UnwatchConnection(s);
      delete s;
    });
    wait->state_ = ControlWait::State::kConnected;
    wait->changed_.notify_all();
    return;
  }
  // Nobody waits any more (the stream ended meanwhile): the connection is closed here.
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

void ServerRun::WatchConnection(const Socket* connection) {
  std::lock_guard<std::mutex> lock(watchMutex_);
  watched_[connection] = 0;
}

void ServerRun::UnwatchConnection(const Socket* connection) {
  std::lock_guard<std::mutex> lock(watchMutex_);
  watched_.erase(connection);
}

void ServerRun::ShutDownDeadPeers(uint32_t timeoutMs) {
  std::lock_guard<std::mutex> lock(watchMutex_);
  for (auto& [connection, strikes] : watched_) {
    strikes = connection->PeerStoppedAcknowledging(timeoutMs) ? strikes + 1 : 0;
    if (strikes == 2) connection->Shutdown();
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
