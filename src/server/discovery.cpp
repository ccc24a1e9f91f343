#include "server/discovery.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/poll.h"
#include "platform/socket.h"
#include "server/activity_log.h"
#include "server/server_run.h"

namespace rureza {
namespace {

std::atomic<uint32_t> g_answersPerSecond{kDiscoveryAnswersPerSecond};
std::atomic<uint32_t> g_answerBurst{kDiscoveryAnswerBurst};
std::atomic<uint64_t> g_answers{0};

uint64_t SteadyMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

AnswerBudget::AnswerBudget(uint32_t perSecond, uint32_t burst)
    : perSecond_(perSecond), capacity_(uint64_t{burst} * 1000), level_(capacity_) {}

bool AnswerBudget::Take(uint64_t nowMs) {
  if (started_ && nowMs > lastMs_ && perSecond_ > 0) {
    // Past the time a refill from empty takes, the bucket is full anyway (and this cannot
    // overflow however long the pause).
    uint64_t elapsed = std::min(nowMs - lastMs_, capacity_ / perSecond_ + 1);
    level_ = std::min(capacity_, level_ + elapsed * perSecond_);
  }
  if (!started_ || nowMs > lastMs_) lastMs_ = nowMs;
  started_ = true;
  if (level_ < 1000) return false;
  level_ -= 1000;
  return true;
}

SenderBudgets::SenderBudgets(uint32_t perSecond, uint32_t burst, size_t mostSenders)
    : perSecond_(perSecond), burst_(burst), mostSenders_(mostSenders) {}

bool SenderBudgets::Take(in_addr sender, uint64_t nowMs) {
  auto it = senders_.find(sender.s_addr);
  if (it == senders_.end()) {
    if (senders_.size() >= mostSenders_) {
      senders_.erase(std::min_element(senders_.begin(), senders_.end(), [](auto& a, auto& b) {
        return a.second.lastMs < b.second.lastMs;
      }));
    }
    it = senders_.emplace(sender.s_addr, Sender{AnswerBudget(perSecond_, burst_), nowMs}).first;
  }
  it->second.lastMs = std::max(it->second.lastMs, nowMs);
  return it->second.budget.Take(nowMs);
}

uint64_t DiscoveryAnswers() { return g_answers.load(std::memory_order_relaxed); }

void SetDiscoveryAnswerBudget(uint32_t perSecond, uint32_t burst) {
  g_answersPerSecond.store(perSecond);
  g_answerBurst.store(burst);
}

bool MayAnswer(const sockaddr_in& sender, uint16_t discoveryPort) {
  uint16_t port = ntohs(sender.sin_port);
  return port >= 1024 && port != discoveryPort;
}

void RunDiscovery(const std::shared_ptr<ServerRun>& run) {
  const uint16_t port = static_cast<uint16_t>(run->settings().port + 3);
  Status error;
  Socket socket = Socket::NewUdp(&error);
  if (socket.valid()) {
    error = socket.Bind(port);
    if (!error.ok()) socket.Close();
  }
  if (!socket.valid()) {
    AppendLog(Format("Discovery port %u cannot be opened: %s", static_cast<unsigned>(port),
                     error.text.c_str()));
  } else {
    socket.SetNonBlocking(true);
    const uint32_t perSecond = g_answersPerSecond.load(), burst = g_answerBurst.load();
    AnswerBudget budget(perSecond, burst);
    SenderBudgets senders(perSecond / 2, burst / 2, kDiscoverySendersKept);
    run->DiscoveryOpened();
    // Datagrams are taken in batches while they keep coming: a flood must not fill the
    // socket's queue, or the probes of other adapters would be dropped before they are read.
    constexpr unsigned kBatch = 32;
    Socket::Datagram datagrams[kBatch];
    int taken = 0;
    while (!run->stopping()) {
      if (taken < static_cast<int>(kBatch)) {
        PollItem items[2] = {{socket.fd(), false}, {run->stopFd(), false}};
        PollReadable(items, 2, -1);
        if (items[1].readable) break;
      }
      taken = socket.ReceiveWaiting(datagrams, kBatch);
      const uint64_t now = SteadyMs();
      for (int i = 0; i < taken; ++i) {
        const Socket::Datagram& d = datagrams[i];
        // The first five bytes count, whatever follows them.
        if (d.length >= 5 && std::memcmp(d.bytes, kDiscoveryProbe, 5) == 0 &&
            MayAnswer(d.sender, port) && senders.Take(d.sender.sin_addr, now) && budget.Take(now)) {
          socket.SendTo(kDiscoveryProbe, 5, d.sender);
          g_answers.fetch_add(1, std::memory_order_relaxed);
        }
      }
    }
    socket.Close();
  }
  run->DiscoveryClosed();
  run->WaitUntilStopped();
}

}  // namespace rureza
