// AdapterConnection: the adapter's end of one TCP connection to the server (its request port or
// its control port), and the discovery probe. Every read waits a bounded time, so a server that
// accepts and never answers ends the read instead of hanging it. This is the other end of the
// wire: nothing here goes through the server's system-call seam or its traffic counters.
// Thread safety: one thread uses a connection at a time.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/socket.h"
#include "platform/status.h"

namespace rureza {

inline constexpr int kAdapterTimeoutMs = 10000;
inline constexpr size_t kAdapterBlockSize = 256;

// IPv4 address and port.
sockaddr_in Ipv4Address(in_addr host, uint16_t port);
sockaddr_in LoopbackAddress(uint16_t port);
// A host name or dotted address as an IPv4 address; the resolver's words in *error otherwise.
std::optional<in_addr> ResolveIpv4(const std::string& host, std::string* error);

// text, then zero bytes up to the 256 bytes of every block an adapter sends.
std::string Block(std::string_view text);

class AdapterConnection {
 public:
  // What Receive reports besides a byte count. kTooSlow: see RequireProgress.
  static constexpr ssize_t kClosed = 0, kFailed = -1, kTimedOut = -2, kTooSlow = -3;

  // Why a read gave up: kClosed, kFailed or kTimedOut, after `got` bytes. A server that could
  // not serve a request closes at once, one that is busy does not answer: the adapter tells
  // them apart by this.
  struct ShortRead {
    ssize_t end = kClosed;
    size_t got = 0;
  };

  AdapterConnection() = default;

  // The kernel's receive buffer (SO_RCVBUF) of the connections Connect makes from now on: as
  // small as an adapter's, so that the server cannot run far ahead of a slow reader. 0, the
  // default, leaves the system's, which grows with the transfer.
  void SetReceiveBuffer(int bytes) { receiveBuffer_ = bytes; }
  // The largest segment the server may send on the connections Connect makes from now on
  // (TCP_MAXSEG), as on a network of small packets; 0, the default, leaves the route's. Over
  // loopback the server's send buffer starts at about 20 segments' worth.
  void SetSegmentSize(int bytes) { segmentSize_ = bytes; }
  // The local address the connections Connect makes from now on come from (another loopback
  // address, say, to stand for a second adapter); by default the system chooses.
  void SetLocalAddress(in_addr address) { localAddress_ = address; }
  // From now on a reply must keep coming, not only come now and then: once the receives have
  // waited windowMs in all (counted from a byte on; the time between them does not count)
  // without leastBytes arriving, Receive fails with kTooSlow, as one that waits too long fails
  // with kTimedOut. A server that trickles a byte a second is thus left as one that stalls.
  void RequireProgress(int windowMs, size_t leastBytes) {
    progressWindowMs_ = windowMs;
    leastBytes_ = leastBytes;
  }

  // Connects within timeoutMs; false (and *error) when the server refused or did not answer.
  bool Connect(const sockaddr_in& to, int timeoutMs = kAdapterTimeoutMs, Status* error = nullptr);
  bool connected() const { return socket_.valid(); }
  int fd() const { return socket_.fd(); }

  bool Send(std::string_view bytes);
  bool SendBlock(std::string_view text) { return Send(Block(text)); }

  // Up to length bytes of what arrives within timeoutMs: the count, kClosed when the server
  // closed (or reset) the connection, kFailed, kTimedOut, or kTooSlow. One system call: a bulk
  // transfer costs the adapter no more than a bare receive loop. A timeoutMs of 0 or less takes
  // only what has arrived already (kTimedOut for nothing), for a caller that waits on epoll itself.
  ssize_t Receive(void* into, size_t length, int timeoutMs);
  // Exactly n bytes within timeoutMs in all; nullopt (and *why) when the connection ends or
  // time runs out.
  std::optional<std::string> ReadExact(size_t n, int timeoutMs = kAdapterTimeoutMs,
                                       ShortRead* why = nullptr);
  // Up to n bytes, ending early once quietMs pass with nothing new after the first byte came.
  std::optional<std::string> ReadUpTo(size_t n, int quietMs, int timeoutMs = kAdapterTimeoutMs,
                                      ShortRead* why = nullptr);
  // Everything until the server closes; nullopt on time-out, failure or more than maxBytes.
  std::optional<std::string> ReadToClose(int timeoutMs = kAdapterTimeoutMs,
                                         size_t maxBytes = 64u << 20);
  // The server closed the connection without sending anything more.
  bool ClosedWithoutData(int timeoutMs = kAdapterTimeoutMs);
  // Nothing arrived (and the connection did not end) for ms.
  bool SilentFor(int ms);

  void ShutdownWrite();  // the server sees the end of the adapter's data
  void Reset();          // the server sees a reset (RST) instead of an orderly close
  void Close() { socket_.Close(); }

 private:
  ssize_t ReceiveOnce(void* into, size_t length, int timeoutMs);

  Socket socket_;
  int receiveBuffer_ = 0;
  int segmentSize_ = 0;
  std::optional<in_addr> localAddress_;
  int receiveTimeoutMs_ = 0;  // the socket's SO_RCVTIMEO; 0: none set
  // RequireProgress: the rule (a window of 0: none), and the window's wait and bytes so far.
  int progressWindowMs_ = 0;
  size_t leastBytes_ = 0;
  int64_t waitedMs_ = 0;
  size_t windowBytes_ = 0;
};

// Sends payload to UDP `to` from an ephemeral port; the first answer within timeoutMs.
std::optional<std::string> Probe(const sockaddr_in& to, std::string_view payload, int timeoutMs);
// The same from socket (UDP), which a caller keeps for many probes in a row (a late answer to
// an earlier probe may then pass for this one's).
std::optional<std::string> Probe(const Socket& socket, const sockaddr_in& to,
                                 std::string_view payload, int timeoutMs);

}  // namespace rureza
