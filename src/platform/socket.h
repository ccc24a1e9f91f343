// Socket: a move-only owner of one IPv4 socket descriptor, closed exactly once.
// Thread safety: one thread owns the object. Shutdown() may be called from another thread
// while the owner is blocked on the socket (that is how a blocked receive or accept is woken);
// the descriptor itself is released only by the owner's Close() or destructor, so it can
// never be reused under a thread that still uses it.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/status.h"

namespace rureza {

// How far the peer has taken what was sent on a connection.
struct SendProgress {
  uint64_t acknowledged = 0;  // bytes the peer has acknowledged since the connection began
  uint32_t queued = 0;        // bytes sent or queued that it has not acknowledged yet
};

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() { Close(); }

  Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // A new TCP or UDP socket (close-on-exec). On failure returns an invalid socket and *error.
  static Socket NewTcp(Status* error);
  static Socket NewUdp(Status* error);

  Status SetReuseAddress() const;
  // Binds to the wildcard address (every local interface).
  Status Bind(uint16_t port) const;
  // Binds to one local address.
  Status Bind(in_addr host, uint16_t port) const;
  Status Listen(int backlog) const;
  Status SetNonBlocking(bool on) const;
  // Makes an idle connection whose peer is gone fail within about timeoutMs (keepalive probes).
  // A connection with data on its way is left to PeerStoppedAcknowledging: the kernel's own
  // limit for that (TCP_USER_TIMEOUT) would also end a paused peer that still acknowledges.
  Status SetDeadPeerTimeout(unsigned timeoutMs) const;
  // True when data, or a probe of a closed receive window, has waited timeoutMs or longer for
  // the peer's acknowledgement. A paused peer answers the window probes, so it never counts;
  // one that is switched off does. May be called from any thread.
  bool PeerStoppedAcknowledging(unsigned timeoutMs) const;
  // The connection's send progress now; nullopt when the kernel cannot tell. A peer whose
  // receive window stays closed still answers window probes, so only a count that stops
  // growing while bytes wait shows that it takes nothing. May be called from any thread.
  std::optional<SendProgress> SendProgressNow() const;

  // Accepts one connection (retrying EINTR). On failure returns an invalid socket and the
  // errno in *error (EAGAIN on a non-blocking socket with nothing pending).
  Socket Accept(sockaddr_in* peer, Status* error) const;

  // One datagram; see recvfrom/sendto. Return -1 on failure.
  ssize_t ReceiveFrom(void* buffer, size_t length, sockaddr_in* sender) const;
  // The datagrams waiting, up to count of them in one system call, without waiting for more;
  // each cut to the first bytes that fit. Returns how many (0 when none waits), -1 on failure.
  struct Datagram {
    char bytes[8];
    size_t length;  // of bytes taken, at most sizeof bytes
    sockaddr_in sender;
  };
  int ReceiveWaiting(Datagram* datagrams, unsigned count) const;
  ssize_t SendTo(const void* data, size_t length, const sockaddr_in& to) const;

  // Shuts both directions down, ignoring failures. Wakes threads blocked on this socket.
  void Shutdown() const;

  // True when the peer has closed or reset the connection (a poll that does not wait).
  bool PeerHasClosed() const;
  // True when the connection is gone for good: reset by the peer, or shut down both ways. A
  // peer that only closed its sending side (it may still read) has not gone.
  bool PeerHasGone() const;

  // The address of the connected peer; nullopt when unknown.
  std::optional<in_addr> PeerAddress() const;

  // The local port the socket is bound to, 0 when unknown.
  uint16_t LocalPort() const;

  void Close();

 private:
  int fd_ = -1;
};

// Dotted-decimal text of an IPv4 address ("127.0.0.1").
std::string AddressText(const sockaddr_in& address);

}  // namespace rureza
