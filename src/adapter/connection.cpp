#include "adapter/connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/poll.h"

namespace rureza {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int Left(int64_t deadline) {
  int64_t left = deadline - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

sockaddr_in Ipv4Address(in_addr host, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr = host;
  return address;
}

sockaddr_in LoopbackAddress(uint16_t port) { return Ipv4Address({htonl(INADDR_LOOPBACK)}, port); }

std::optional<in_addr> ResolveIpv4(const std::string& host, std::string* error) {
  in_addr address{};
  if (::inet_pton(AF_INET, host.c_str(), &address) == 1) return address;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (result != 0 || !found) {
    if (error) *error = ::gai_strerror(result);
    return std::nullopt;
  }
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return address;
}

std::string Block(std::string_view text) {
  std::string block(text);
  if (block.size() < kAdapterBlockSize) block.resize(kAdapterBlockSize, '\0');
  return block;
}

bool AdapterConnection::Connect(const sockaddr_in& to, int timeoutMs, Status* error) {
  Status failure;
  socket_ = Socket::NewTcp(&failure);
  receiveTimeoutMs_ = 0;
  waitedMs_ = 0;
  windowBytes_ = 0;
  if (socket_.valid() && segmentSize_ > 0 &&
      ::setsockopt(fd(), IPPROTO_TCP, TCP_MAXSEG, &segmentSize_, sizeof segmentSize_) != 0) {
    failure = Status::FromErrno(errno);
  }
  if (socket_.valid() && localAddress_) {
    sockaddr_in local = Ipv4Address(*localAddress_, 0);
    if (::bind(fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      failure = Status::FromErrno(errno);
    }
  }
  // Before the connect, so that the window the server is told fits it.
  if (socket_.valid() && receiveBuffer_ > 0 &&
      ::setsockopt(fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer_, sizeof receiveBuffer_) != 0) {
    failure = Status::FromErrno(errno);
  }
  if (socket_.valid() && failure.ok() && socket_.SetNonBlocking(true).ok()) {
    int result = ::connect(fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
    int err = result == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
      pollfd item{fd(), POLLOUT, 0};
      socklen_t length = sizeof err;
      err = ::poll(&item, 1, timeoutMs) != 1                               ? ETIMEDOUT
            : ::getsockopt(fd(), SOL_SOCKET, SO_ERROR, &err, &length) != 0 ? errno
                                                                           : err;
    }
    failure = err == 0 ? socket_.SetNonBlocking(false) : Status::FromErrno(err);
  }
  if (failure.ok()) return true;
  if (error) *error = failure;
  socket_.Close();
  return false;
}

bool AdapterConnection::Send(std::string_view bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    ssize_t n = ::send(fd(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

ssize_t AdapterConnection::Receive(void* into, size_t length, int timeoutMs) {
  if (progressWindowMs_ <= 0 || timeoutMs <= 0) return ReceiveOnce(into, length, timeoutMs);
  // A window begins with its first byte: a wait for that one is timeoutMs's alone.
  const bool counting = windowBytes_ > 0;
  const int64_t left = progressWindowMs_ - waitedMs_;
  const int64_t start = NowMs();
  ssize_t n = ReceiveOnce(
      into, length, counting ? static_cast<int>(std::min<int64_t>(timeoutMs, left)) : timeoutMs);
  if (counting) waitedMs_ += NowMs() - start;
  windowBytes_ += n > 0 ? static_cast<size_t>(n) : 0;
  if (windowBytes_ >= leastBytes_) {
    waitedMs_ = 0;
    windowBytes_ = 0;
  } else if (waitedMs_ >= progressWindowMs_ && (n > 0 || n == kTimedOut)) {
    return kTooSlow;
  }
  return n;
}

ssize_t AdapterConnection::ReceiveOnce(void* into, size_t length, int timeoutMs) {
  // The wait is the socket's own receive timeout, set again only when it changes.
  if (timeoutMs > 0 && timeoutMs != receiveTimeoutMs_) {
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (::setsockopt(fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) return kFailed;
    receiveTimeoutMs_ = timeoutMs;
  }
  for (;;) {
    ssize_t n = ::recv(fd(), into, length, timeoutMs > 0 ? 0 : MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == ECONNRESET) return kClosed;
    return errno == EAGAIN || errno == EWOULDBLOCK ? kTimedOut : kFailed;
  }
}

std::optional<std::string> AdapterConnection::ReadExact(size_t n, int timeoutMs, ShortRead* why) {
  std::string data(n, '\0');
  const int64_t deadline = NowMs() + timeoutMs;
  for (size_t got = 0; got < n;) {
    ssize_t r = Receive(data.data() + got, n - got, Left(deadline));
    if (r <= 0) {
      if (why) *why = {r, got};
      return std::nullopt;
    }
    got += static_cast<size_t>(r);
  }
  return data;
}

std::optional<std::string> AdapterConnection::ReadUpTo(size_t n, int quietMs, int timeoutMs,
                                                       ShortRead* why) {
  std::string data(n, '\0');
  const int64_t deadline = NowMs() + timeoutMs;
  size_t got = 0;
  while (got < n) {
    ssize_t r = Receive(data.data() + got, n - got, got ? quietMs : Left(deadline));
    if (r == kTimedOut && got > 0) break;
    if (r <= 0) {
      if (why) *why = {r, got};
      return std::nullopt;
    }
    got += static_cast<size_t>(r);
  }
  data.resize(got);
  return data;
}

std::optional<std::string> AdapterConnection::ReadToClose(int timeoutMs, size_t maxBytes) {
  std::string data;
  char chunk[65536];
  const int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    ssize_t r = Receive(chunk, sizeof chunk, Left(deadline));
    if (r == kClosed) return data;
    if (r < 0) return std::nullopt;
    data.append(chunk, static_cast<size_t>(r));
    if (data.size() > maxBytes) return std::nullopt;
  }
}

bool AdapterConnection::ClosedWithoutData(int timeoutMs) {
  std::optional<std::string> rest = ReadToClose(timeoutMs, 0);
  return rest && rest->empty();
}

bool AdapterConnection::SilentFor(int ms) { return !WaitReadable(fd(), ms); }

void AdapterConnection::ShutdownWrite() { ::shutdown(fd(), SHUT_WR); }

void AdapterConnection::Reset() {
  linger option{1, 0};
  ::setsockopt(fd(), SOL_SOCKET, SO_LINGER, &option, sizeof option);
  socket_.Close();
}

std::optional<std::string> Probe(const sockaddr_in& to, std::string_view payload, int timeoutMs) {
  Socket socket = Socket::NewUdp(nullptr);
  if (!socket.valid()) return std::nullopt;
  return Probe(socket, to, payload, timeoutMs);
}

std::optional<std::string> Probe(const Socket& socket, const sockaddr_in& to,
                                 std::string_view payload, int timeoutMs) {
  if (socket.SendTo(payload.data(), payload.size(), to) != static_cast<ssize_t>(payload.size())) {
    return std::nullopt;
  }
  const int64_t deadline = NowMs() + timeoutMs;
  char answer[65536];
  // Datagrams from anybody but the probed address are not its answer.
  while (WaitReadable(socket.fd(), Left(deadline))) {
    sockaddr_in from{};
    ssize_t n = socket.ReceiveFrom(answer, sizeof answer, &from);
    if (n < 0) return std::nullopt;
    if (from.sin_addr.s_addr == to.sin_addr.s_addr && from.sin_port == to.sin_port) {
      return std::string(answer, static_cast<size_t>(n));
    }
  }
  return std::nullopt;
}

}  // namespace rureza
