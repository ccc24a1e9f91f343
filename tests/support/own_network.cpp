#include "support/own_network.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace rureza::test {

bool SetLoopbackUp(bool up) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool done = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (done) {
    request.ifr_flags =
        static_cast<short>(up ? (request.ifr_flags | IFF_UP) : (request.ifr_flags & ~IFF_UP));
    done = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  ::close(fd);
  return done;
}

bool RunInOwnNetwork(const std::function<void()>& body, std::string* why) {
  bool ran = false;
  std::thread thread([&] {
    // A network namespace belongs to the thread that made it (and the threads it starts).
    if (::unshare(CLONE_NEWNET) != 0) {
      *why = std::string("no network namespace can be made here (unshare: ") +
             std::strerror(errno) + "); this test needs root with CAP_SYS_ADMIN";
      return;
    }
    if (!SetLoopbackUp(true)) {
      *why = std::string("the namespace's loopback interface cannot be brought up: ") +
             std::strerror(errno);
      return;
    }
    ran = true;
    body();
  });
  thread.join();
  return ran;
}

}  // namespace rureza::test
