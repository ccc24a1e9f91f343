// The discovery responder: answers the adapter's 5-byte probe "VE520" on UDP P+3 by sending the
// same five bytes back to the sender, who learns the server's address from the answer.
// It can be made neither a reflector nor one end of a loop: some senders are never answered
// (MayAnswer), and answers are rationed (AnswerBudget), so a flood of probes, or two responders
// bouncing a spoofed probe between them, costs a bounded number of datagrams a second. One
// sender gets at most half of that (SenderBudgets): a flood from one address leaves the other
// half to every other adapter.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <unordered_map>

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

// An AnswerBudget for each sender address, for the most recently seen mostSenders of them
// (the one seen longest ago makes room for a new one, which starts with a full budget).
// Thread safety: one thread uses it.
class SenderBudgets {
 public:
  SenderBudgets(uint32_t perSecond, uint32_t burst, size_t mostSenders);
  // True (and one answer spent) when sender may be answered at nowMs.
  bool Take(in_addr sender, uint64_t nowMs);

 private:
  struct Sender {
    AnswerBudget budget;
    uint64_t lastMs;
  };
  const uint32_t perSecond_, burst_;
  const size_t mostSenders_;
  std::unordered_map<uint32_t, Sender> senders_;
};

// The budget of every discovery thread: 16,000 answers a second in bursts of up to 32,000.
// One adapter asks once; a flood or a loop costs the network no more than about 6 Mbit/s.
inline constexpr uint32_t kDiscoveryAnswersPerSecond = 16000;
inline constexpr uint32_t kDiscoveryAnswerBurst = 32000;

// Each sender's: half of that, 8,000 a second in bursts of up to 16,000, kept for up to 1,024
// senders. A tool probing in a tight loop over loopback (about 20,000 a second at most) has
// 10,000 probes in a row answered in full, and another such run after a pause of 1.25 s.
inline constexpr uint32_t kDiscoverySenderAnswersPerSecond = kDiscoveryAnswersPerSecond / 2;
inline constexpr size_t kDiscoverySendersKept = 1024;

// Probes answered since the process started.
uint64_t DiscoveryAnswers();

// Tests shorten the budget (each sender's is half of it); it applies from the next start of the
// server.
void SetDiscoveryAnswerBudget(uint32_t perSecond, uint32_t burst);

}  // namespace rureza
