#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <linux/tcp.h>  // glibc's tcp_info lacks tcpi_bytes_acked
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

#include "platform/syscalls.h"

namespace rureza {
namespace {

Socket NewSocket(int type, Status* error) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0 && error) *error = Status::FromErrno(errno);
  return Socket(fd);
}

Status CheckCall(int result) { return result == 0 ? Status::Ok() : Status::FromErrno(errno); }

}  // namespace

Socket Socket::NewTcp(Status* error) { return NewSocket(SOCK_STREAM, error); }

Socket Socket::NewUdp(Status* error) { return NewSocket(SOCK_DGRAM, error); }

Status Socket::SetReuseAddress() const {
  int on = 1;
  return CheckCall(::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on));
}

Status Socket::Bind(uint16_t port) const {
  in_addr any{};
  any.s_addr = htonl(INADDR_ANY);
  return Bind(any, port);
}

Status Socket::Bind(in_addr host, uint16_t port) const {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr = host;
  address.sin_port = htons(port);
  return CheckCall(::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address));
}

Status Socket::Listen(int backlog) const { return CheckCall(::listen(fd_, backlog)); }

Status Socket::SetNonBlocking(bool on) const {
  int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0) return Status::FromErrno(errno);
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return CheckCall(::fcntl(fd_, F_SETFL, flags));
}

Status Socket::SetDeadPeerTimeout(unsigned timeoutMs) const {
  // idle + count * interval = timeoutMs, in whole seconds of at least one.
  int on = 1;
  int idle = static_cast<int>(std::max(1u, timeoutMs / 3000));
  int interval = static_cast<int>(std::max(1u, timeoutMs / 6000));
  int count = 4;
  if (::setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
      ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
      ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
      ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0) {
    return Status::FromErrno(errno);
  }
  return Status::Ok();
}

bool Socket::PeerStoppedAcknowledging(unsigned timeoutMs) const {
  tcp_info info{};
  socklen_t length = sizeof info;
  if (fd_ < 0 || ::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
  bool waiting = info.tcpi_unacked > 0 || info.tcpi_probes > 0;
  return waiting && info.tcpi_last_ack_recv >= timeoutMs;
}

std::optional<SendProgress> Socket::SendProgressNow() const {
  tcp_info info{};
  socklen_t length = sizeof info;
  int queued = 0;
  if (fd_ < 0 || ::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
      length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked ||
      ::ioctl(fd_, SIOCOUTQ, &queued) != 0) {
    return std::nullopt;
  }
  return SendProgress{info.tcpi_bytes_acked, static_cast<uint32_t>(std::max(queued, 0))};
}

Socket Socket::Accept(sockaddr_in* peer, Status* error) const {
  sockaddr_in address{};
  for (;;) {
    socklen_t length = sizeof address;
    int fd = Sys().accept4(fd_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    if (fd >= 0) {
      if (peer) *peer = address;
      return Socket(fd);
    }
    if (errno == EINTR) continue;
    if (error) *error = Status::FromErrno(errno);
    return Socket();
  }
}

ssize_t Socket::ReceiveFrom(void* buffer, size_t length, sockaddr_in* sender) const {
  socklen_t senderLength = sizeof *sender;
  ssize_t n;
  do {
    n = ::recvfrom(fd_, buffer, length, 0, reinterpret_cast<sockaddr*>(sender), &senderLength);
  } while (n < 0 && errno == EINTR);
  return n;
}

int Socket::ReceiveWaiting(Datagram* datagrams, unsigned count) const {
  constexpr unsigned kMost = 64;
  mmsghdr headers[kMost] = {};
  iovec parts[kMost];
  count = std::min(count, kMost);
  for (unsigned i = 0; i < count; ++i) {
    parts[i] = {datagrams[i].bytes, sizeof datagrams[i].bytes};
    headers[i].msg_hdr.msg_iov = &parts[i];
    headers[i].msg_hdr.msg_iovlen = 1;
    headers[i].msg_hdr.msg_name = &datagrams[i].sender;
    headers[i].msg_hdr.msg_namelen = sizeof datagrams[i].sender;
  }
  int n;
  do {
    n = ::recvmmsg(fd_, headers, count, MSG_DONTWAIT, nullptr);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  for (int i = 0; i < n; ++i) {
    datagrams[i].length = std::min<size_t>(headers[i].msg_len, sizeof datagrams[i].bytes);
  }
  return n;
}

ssize_t Socket::SendTo(const void* data, size_t length, const sockaddr_in& to) const {
  ssize_t n;
  do {
    n = ::sendto(fd_, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
  } while (n < 0 && errno == EINTR);
  return n;
}

void Socket::Shutdown() const {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

namespace {

// What a poll that does not wait says of fd besides data: POLLRDHUP, POLLHUP, POLLERR, POLLNVAL.
short PeerEvents(int fd) {
  pollfd item{fd, POLLRDHUP, 0};
  int n;
  do {
    n = ::poll(&item, 1, 0);
  } while (n < 0 && errno == EINTR);
  return n > 0 ? item.revents : 0;
}

}  // namespace

bool Socket::PeerHasClosed() const {
  return (PeerEvents(fd_) & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool Socket::PeerHasGone() const { return (PeerEvents(fd_) & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

std::optional<in_addr> Socket::PeerAddress() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      address.sin_family != AF_INET) {
    return std::nullopt;
  }
  return address.sin_addr;
}

uint16_t Socket::LocalPort() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

void Socket::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

std::string AddressText(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}

}  // namespace rureza
