#include "platform/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/socket.h"

namespace rureza {

bool NotifyServiceManager(std::string_view state) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (!name || (name[0] != '/' && name[0] != '@')) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = std::strlen(name);
  if (length < 2 || length > sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, name, length);
  // An abstract name begins with a zero byte and is exactly as long as given.
  if (name[0] == '@') address.sun_path[0] = '\0';
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  Socket socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) return false;
  const ssize_t sent = ::sendto(socket.fd(), state.data(), state.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), size);
  return sent == static_cast<ssize_t>(state.size());
}

uint64_t ServiceWatchdogUsec() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (!usec || !*usec) return 0;
  if (const char* pid = std::getenv("WATCHDOG_PID"); pid && *pid) {
    if (std::strtoll(pid, nullptr, 10) != static_cast<long long>(::getpid())) return 0;
  }
  char* end = nullptr;
  const unsigned long long value = std::strtoull(usec, &end, 10);
  return end && *end == '\0' ? value : 0;
}

}  // namespace rureza
