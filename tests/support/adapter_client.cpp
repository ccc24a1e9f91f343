#include "support/adapter_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

namespace rureza::test {
namespace {

sockaddr_in Loopback(uint16_t port) { return {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}}; }

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits for input until deadline; false on time-out.
bool WaitInput(int fd, int64_t deadline) {
  for (int64_t left; (left = deadline - NowMs()) > 0;) {
    pollfd item{fd, POLLIN, 0};
    int n = ::poll(&item, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
  return false;
}

// One recv, retried on EINTR, once input is there: -2 when the deadline passes first.
ssize_t ReceiveBy(int fd, char* into, size_t n, int64_t deadline) {
  for (;;) {
    if (!WaitInput(fd, deadline)) return -2;
    ssize_t r = ::recv(fd, into, n, 0);
    if (r >= 0 || errno != EINTR) return r;
  }
}

}  // namespace

AdapterClient::AdapterClient(AdapterClient&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

AdapterClient& AdapterClient::operator=(AdapterClient&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool AdapterClient::Connect(uint16_t port, int timeoutMs) {
  Close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address = Loopback(port);
  pollfd item{fd_, POLLOUT, 0};
  int error = 0;
  socklen_t length = sizeof error;
  if (fd_ < 0 || (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
                  (errno != EINPROGRESS || ::poll(&item, 1, timeoutMs) != 1 ||
                   ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0))) {
    Close();
    return false;
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  return true;
}

bool AdapterClient::SendBlock(std::string_view text) { return SendRaw(Block(text)); }

bool AdapterClient::SendRaw(std::string_view bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> AdapterClient::ReadExact(size_t n, int timeoutMs) {
  std::string data(n, '\0');
  int64_t deadline = NowMs() + timeoutMs;
  for (size_t got = 0; got < n;) {
    ssize_t r = ReceiveBy(fd_, data.data() + got, n - got, deadline);
    if (r <= 0) return std::nullopt;
    got += static_cast<size_t>(r);
  }
  return data;
}

std::optional<std::string> AdapterClient::ReadToClose(int timeoutMs, size_t maxBytes) {
  std::string data;
  char chunk[65536];
  int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    ssize_t r = ReceiveBy(fd_, chunk, sizeof chunk, deadline);
    if (r == -2) return std::nullopt;
    if (r <= 0) return data;
    data.append(chunk, static_cast<size_t>(r));
    if (data.size() > maxBytes) return std::nullopt;
  }
}

bool AdapterClient::ClosedWithoutData(int timeoutMs) {
  std::optional<std::string> rest = ReadToClose(timeoutMs, 0);
  return rest && rest->empty();
}

bool AdapterClient::SilentFor(int ms) {
  pollfd item{fd_, POLLIN, 0};
  return ::poll(&item, 1, ms) == 0;
}

void AdapterClient::ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }

void AdapterClient::Reset() {
  linger option{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  Close();
}

void AdapterClient::Close() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

std::string Block(std::string_view text) {
  std::string block(text);
  if (block.size() < 256) block.resize(256, '\0');
  return block;
}

std::optional<std::string> Probe(uint16_t port, std::string_view payload, int timeoutMs) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(port);
  pollfd item{fd, POLLIN, 0};
  char buffer[65536];
  ssize_t n = -1;
  if (::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&address),
               sizeof address) == static_cast<ssize_t>(payload.size()) &&
      ::poll(&item, 1, timeoutMs) == 1) {
    n = ::recv(fd, buffer, sizeof buffer, 0);
  }
  ::close(fd);
  if (n < 0) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace rureza::test
