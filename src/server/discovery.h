// The discovery responder: answers the adapter's 5-byte probe "VE520" on UDP P+3 by sending the
// same five bytes back to the sender, who learns the server's address from the answer.
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

}  // namespace rureza
