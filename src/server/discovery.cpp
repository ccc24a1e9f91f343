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
    AnswerBudget budget(g_answersPerSecond.load(), g_answerBurst.load());
    run->DiscoveryOpened();
    while (!run->stopping()) {
      PollItem items[2] = {{socket.fd(), false}, {run->stopFd(), false}};
      PollReadable(items, 2, -1);
      if (items[1].readable) break;
      // One datagram per wake-up: poll reports the next one at once, and a lone probe costs
      // no receive that finds nothing.
      char received[6] = {};  // at most 5 bytes arrive, so it always reads as a string
      sockaddr_in sender{};
      ssize_t n = socket.ReceiveFrom(received, 5, &sender);
      if (n >= 0 && std::strcmp(received, kDiscoveryProbe) == 0 && MayAnswer(sender, port) &&
          budget.Take(SteadyMs())) {
        socket.SendTo(received, 5, sender);
      }
    }
    socket.Close();
  }
  run->DiscoveryClosed();
  run->WaitUntilStopped();
}

}  // namespace rureza
