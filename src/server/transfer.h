// SendAll and ReceiveAll: the only TCP send and receive path of the server, on request and
// control connections alike, and the TrafficCounters they keep.
// Thread safety: any thread may call them on a connection it owns; the counters are atomic
// and never reset.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/socket.h"

namespace rureza {

struct TrafficCounters {
  std::atomic<uint32_t> bytesSent{0};      // wraps modulo 2^32
  std::atomic<uint32_t> bytesReceived{0};  // wraps modulo 2^32
  std::atomic<int32_t> sendCalls{0};       // one per SendAll call, also a failed one
  std::atomic<int32_t> receiveCalls{0};    // one per ReceiveAll call, also a failed one
};

// The process's counters.
TrafficCounters& Traffic();

// Sends all length bytes (one send call even when length is 0). Returns length, or -1 when a
// send call fails; bytes sent before the failure stay counted. A peer that has reset the
// connection never raises SIGPIPE.
int32_t SendAll(const Socket& socket, const void* data, uint32_t length);

// Receives exactly length bytes into buffer. Returns length, or -1 when a receive call fails
// or the peer closes the connection first; what arrived stays in the buffer.
int32_t ReceiveAll(const Socket& socket, void* buffer, uint32_t length);

// As ReceiveAll, but also returns -1 when the whole block has not arrived within timeoutMs.
int32_t ReceiveAllWithin(const Socket& socket, void* buffer, uint32_t length, uint32_t timeoutMs);

// Drops, without waiting, what the peer has sent that nobody will read (an extra block behind
// the request, say), up to a limit. A connection closed with unread input is reset, and the
// reset throws away the part of the reply still on its way; called before the close, this lets
// the reply end in order. The bytes count as received (no call is counted). Returns them.
uint32_t DiscardPendingInput(const Socket& socket);

}  // namespace rureza
