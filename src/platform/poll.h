// Waiting on several descriptors at once.
#pragma once

#include <cstddef>

namespace rureza {

struct PollItem {
  int fd = -1;            // negative: ignored
  bool readable = false;  // out: input ready, hang-up or error
};

// Waits until one item is readable or timeoutMs passes (-1: no limit). Retries EINTR.
// Returns the number of readable items, 0 on time-out, -1 on failure.
int PollReadable(PollItem* items, size_t count, int timeoutMs);

// Waits until fd is readable or timeoutMs passes; false on time-out or failure.
bool WaitReadable(int fd, int timeoutMs);

}  // namespace rureza
