// What a TCP connection holds for its peer, seen from the sending side: the bytes the peer has
// acknowledged, a bound on the bytes queued in the kernel but not yet sent, and a wait for
// room below that bound.
// Thread safety: functions over a socket its owner uses.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/socket.h"
#include "platform/status.h"

namespace rureza {

// The bytes the peer has acknowledged since the connection began (tcp_info); nullopt when the
// kernel does not tell (before Linux 4.1) or the call fails.
std::optional<uint64_t> BytesAcknowledged(const Socket& socket);

// The bytes queued on the connection that the peer has not acknowledged yet, sent or not
// (SIOCOUTQ); nullopt when the call fails.
std::optional<uint32_t> BytesOnTheirWay(const Socket& socket);

// Bounds the bytes queued on the connection beyond those sent (TCP_NOTSENT_LOWAT): a blocking
// send waits while more than `bytes` wait unsent, also in the middle of one large call, and
// the socket counts as writable once fewer than half of them wait. 0 puts back the system's
// default (no bound of the connection's own).
Status SetUnsentLimit(const Socket& socket, uint32_t bytes);

// Waits until a send would go ahead without blocking, or would fail at once (the connection
// was reset or shut down), or timeoutMs passes; false on time-out.
bool WaitWritable(const Socket& socket, int timeoutMs);

}  // namespace rureza
