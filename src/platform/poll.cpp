#include "platform/poll.h"

#include <poll.h>

#include <cerrno>
#include <vector>

namespace rureza {

int PollReadable(PollItem* items, size_t count, int timeoutMs) {
  pollfd fds[8];
  std::vector<pollfd> more;
  pollfd* set = fds;
  if (count > 8) {
    more.resize(count);
    set = more.data();
  }
  for (size_t i = 0; i < count; ++i) set[i] = pollfd{items[i].fd, POLLIN, 0};
  int n;
  do {
    n = ::poll(set, count, timeoutMs);
  } while (n < 0 && errno == EINTR);
  for (size_t i = 0; i < count; ++i) {
    items[i].readable = n > 0 && set[i].revents != 0;
  }
  return n;
}

bool WaitReadable(int fd, int timeoutMs) {
  PollItem item{fd, false};
  return PollReadable(&item, 1, timeoutMs) > 0;
}

}  // namespace rureza
