#include "platform/send_queue.h"

// linux/tcp.h, not netinet/tcp.h: glibc's tcp_info ends before tcpi_bytes_acked.
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>

#include "platform/syscalls.h"

namespace rureza {

std::optional<uint64_t> BytesAcknowledged(const Socket& socket) {
  tcp_info info{};
  socklen_t length = sizeof info;
  if (::getsockopt(socket.fd(), IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return std::nullopt;
  // An older kernel fills a shorter record.
  if (length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) {
    return std::nullopt;
  }
  return info.tcpi_bytes_acked;
}

std::optional<uint32_t> BytesOnTheirWay(const Socket& socket) {
  int queued = 0;
  if (::ioctl(socket.fd(), SIOCOUTQ, &queued) != 0 || queued < 0) return std::nullopt;
  return static_cast<uint32_t>(queued);
}

Status SetUnsentLimit(const Socket& socket, uint32_t bytes) {
  int value = static_cast<int>(bytes);
  if (Sys().setsockopt(socket.fd(), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &value, sizeof value) != 0) {
    return Status::FromErrno(errno);
  }
  return Status::Ok();
}

bool WaitWritable(const Socket& socket, int timeoutMs) {
  pollfd item{socket.fd(), POLLOUT, 0};
  int n;
  do {
    n = ::poll(&item, 1, timeoutMs);
  } while (n < 0 && errno == EINTR);
  return n != 0;  // ready, an error or a hang-up: the send says which
}

}  // namespace rureza
