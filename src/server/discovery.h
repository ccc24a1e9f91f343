// The discovery responder: answers the adapter's 5-byte probe "VE520" on UDP P+3 by sending the
// same five bytes back to the sender, who learns the server's address from the answer.
// It can be made neither a reflector nor one end of a loop: some senders are never answered
// (MayAnswer), and answers are rationed (AnswerBudget), so a flood of probes, or two responders
// bouncing a spoofed probe between them, costs a bounded number of datagrams a second.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>

namespace rureza {

class ServerRun;

inline constexpr char kDiscoveryProbe[] = "VE520";

// The discovery thread's body for one run; ends after the run stops.
void RunDiscovery(const std::shared_ptr<ServerRun>& run);

// False for senders that must never be answered: a privileged source port (an echo or other
// service could bounce the answer back) or the discovery port itself (two servers would
// answer each other for ever).
bool MayAnswer(const sockaddr_in& sender, uint16_t discoveryPort);

// A token bucket: up to burst answers at once, refilled at perSecond answers a second.
// Thread safety: one thread uses a budget.
class AnswerBudget {
 public:
  AnswerBudget(uint32_t perSecond, uint32_t burst);
  // True (and one answer spent) when an answer may go out at nowMs, a steady millisecond count
  // that never goes back.
  bool Take(uint64_t nowMs);

 private:
  const uint64_t perSecond_;
  const uint64_t capacity_;  // in thousandths of an answer, as is level_
  uint64_t level_;
  uint64_t lastMs_ = 0;
  bool started_ = false;
};

// The budget of every discovery thread: 16,000 answers a second in bursts of up to 32,000.
// One adapter asks once; an adapter probing in a tight loop over loopback gets about 20,000
// answers a second at most, so 10,000 probes in a row, even several such runs back to back,
// are answered in full, while a flood or a loop costs the network no more than about 6 Mbit/s.
inline constexpr uint32_t kDiscoveryAnswersPerSecond = 16000;
inline constexpr uint32_t kDiscoveryAnswerBurst = 32000;

// Tests shorten the budget; it applies from the next start of the server.
void SetDiscoveryAnswerBudget(uint32_t perSecond, uint32_t burst);

}  // namespace rureza
